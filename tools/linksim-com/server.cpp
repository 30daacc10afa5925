#include "tools/linksim-com/server.h"

#include <ocidl.h>
#include <oleauto.h>
#include <olectl.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "link/com/echolink.h"
#include "tools/linksim/options.h"

namespace corvanta::linksim {

namespace {

constexpr DISPID kPttId = 1;  // the event interface's ids, as its type library gives them
constexpr DISPID kTxId = 2;
constexpr UINT_PTR kWaitTimer = 2;
constexpr UINT kWakeMessage = WM_APP + 4;

ComSimulator* g_sim = nullptr;
HWND g_window = nullptr;

// The default interface's type information, from the type library in this program's resources.
ITypeInfo* InterfaceInfo() {
  static ITypeInfo* info = [] {
    wchar_t path[MAX_PATH];
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    ITypeLib* library = nullptr;
    ITypeInfo* found = nullptr;
    if (SUCCEEDED(::LoadTypeLibEx(path, REGKIND_NONE, &library))) {
      library->GetTypeInfoOfGuid(IID_IEchoLinkAutomation, &found);
      library->Release();
    }
    return found;
  }();
  return info;
}

}  // namespace

HWND SimulatorWindow() {
  return g_window;
}

// One instance of the class, made for one client: its keying requests, its connection point and
// the sinks advised there.
class SimObject final : public IEchoLinkAutomation,
                        public IConnectionPointContainer,
                        public IConnectionPoint {
 public:
  explicit SimObject(ComSimulator& sim) : sim_(sim) { id_ = sim_.Adopt(this); }

  int id() const { return id_; }
  bool keyed() const { return keyed_; }

  // The sinks, each with a reference of its own for the caller.
  std::vector<IDispatch*> Sinks() {
    std::vector<IDispatch*> out;
    for (auto& [cookie, sink] : sinks_) {
      sink->AddRef();
      out.push_back(sink);
    }
    return out;
  }

  // Cuts every client off: their later calls fail, and our references to their sinks go.
  void Disconnect() {
    AddRef();
    for (auto& [cookie, sink] : sinks_) sink->Release();
    sinks_.clear();
    ::CoDisconnectObject(static_cast<IEchoLinkAutomation*>(this), 0);
    Release();
  }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch ||
        (iid == IID_IEchoLinkAutomation && !sim_.dispatch_only())) {
      *out = static_cast<IEchoLinkAutomation*>(this);
    } else if (iid == IID_IConnectionPointContainer) {
      *out = static_cast<IConnectionPointContainer*>(this);
    } else if (iid == IID_IConnectionPoint) {
      // The one connection point is the object itself; COM asks for it to marshal it.
      *out = static_cast<IConnectionPoint*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
  // When the last client lets go, the object is gone for the link program at once: whatever it
  // keyed is released, also while one of its calls still waits in a nested loop (a request left
  // unanswered); the memory goes when that call returns.
  ULONG STDMETHODCALLTYPE Release() override {
    const long left = --refs_;
    if (left == 0) {
      for (auto& [cookie, sink] : sinks_) sink->Release();
      sinks_.clear();
      sim_.Forget(id_, keyed_);
      keyed_ = false;
      if (calls_ == 0) delete this;
    }
    return static_cast<ULONG>(left);
  }

  // IDispatch, through the type library
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    *n = InterfaceInfo() != nullptr ? 1 : 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (index != 0 || InterfaceInfo() == nullptr) return DISP_E_BADINDEX;
    InterfaceInfo()->AddRef();
    *info = InterfaceInfo();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    if (InterfaceInfo() == nullptr) return E_UNEXPECTED;
    return ::DispGetIDsOfNames(InterfaceInfo(), names, count, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT* arg) override {
    if (InterfaceInfo() == nullptr) return E_UNEXPECTED;
    return ::DispInvoke(static_cast<IEchoLinkAutomation*>(this), InterfaceInfo(), id, flags, params,
                        result, exception, arg);
  }

  // The members this program's users never call.
  HRESULT STDMETHODCALLTYPE Unused1() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Unused2() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Unused3() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Unused4() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Unused5() override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE SetPTT(VARIANT_BOOL bPTT) override {
    const bool key = bPTT != VARIANT_FALSE;
    const std::string id = std::to_string(id_);
    sim_.log().Write(std::string("SETPTT ") + (key ? "1 " : "0 ") + id);
    const long count = sim_.CountRequest();
    sim_.Answered(key);  // tells a wait-setptt command
    const AnswerPolicy policy = sim_.policy();
    const int late_ms = sim_.TakeLateMs();
    ++calls_;  // the nested waits below may see every client let go
    HRESULT result = S_OK;
    if (policy.drop_after > 0 && count == policy.drop_after) {
      sim_.log().Write("DROP " + id);
      Disconnect();
      result = RPC_E_DISCONNECTED;
    } else {
      // Silence holds the call (other calls are still served meanwhile) until a `wake`, which
      // answers it as a link program that was stuck and comes back would.
      if (policy.silent) sim_.WaitForWake();
      if (late_ms > 0) sim_.Wait(late_ms);
      if (sim_.quitting()) {
        result = E_ABORT;
      } else if (policy.err) {
        sim_.log().Write("ANSWER ERR " + id);
        result = E_FAIL;
      } else if (refs_ == 0 && !sim_.keep_key()) {
        result = RPC_E_DISCONNECTED;  // every client let go meanwhile: nobody to key for
      } else {
        sim_.log().Write("ANSWER OK " + id);
        keyed_ = key && refs_ > 0;
        sim_.Carried(key);
      }
    }
    if (--calls_ == 0 && refs_ == 0) delete this;
    return result;
  }

  // IConnectionPointContainer
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
    if (iid != DIID_IEchoLinkAutomationEvents) {
      *point = nullptr;
      return CONNECT_E_NOCONNECTION;
    }
    *point = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }

  // IConnectionPoint
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
    *iid = DIID_IEchoLinkAutomationEvents;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** c) override {
    *c = static_cast<IConnectionPointContainer*>(this);
    AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
    IDispatch* dispatch = nullptr;
    if (sink == nullptr ||
        FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)))) {
      return CONNECT_E_CANNOTCONNECT;
    }
    *cookie = next_cookie_++;
    sinks_[*cookie] = dispatch;
    sim_.log().Write("ADVISE " + std::to_string(id_));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
    const auto it = sinks_.find(cookie);
    if (it == sinks_.end()) return CONNECT_E_NOCONNECTION;
    IDispatch* sink = it->second;
    sinks_.erase(it);
    sink->Release();
    sim_.log().Write("UNADVISE " + std::to_string(id_));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

 private:
  ~SimObject() = default;

  ComSimulator& sim_;
  long refs_ = 1;
  int calls_ = 0;  // SetPTT calls under way, nested in each other's waits
  int id_ = 0;
  bool keyed_ = false;  // its last carried-out SetPTT was true
  std::map<DWORD, IDispatch*> sinks_;
  DWORD next_cookie_ = 1;
};

namespace {

class Factory final : public IClassFactory {
 public:
  explicit Factory(ComSimulator& sim) : sim_(sim) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const long left = --refs_;
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    if (sim_.quitting()) return CO_E_SERVER_STOPPING;
    auto* object = new SimObject(sim_);
    const HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  ComSimulator& sim_;
  long refs_ = 1;
};

}  // namespace

ComSimulator::ComSimulator(Log& log, AnswerPolicy policy, bool embedded, bool dispatch_only,
                           bool keep_key)
    : log_(log),
      policy_(policy),
      embedded_(embedded),
      dispatch_only_(dispatch_only),
      keep_key_(keep_key) {
  g_sim = this;
  WNDCLASSW wc{};
  wc.lpfnWndProc = &WindowProc;
  wc.hInstance = ::GetModuleHandleW(nullptr);
  wc.lpszClassName = L"CorvantaLinkSimulator";
  ::RegisterClassW(&wc);
  window_ = ::CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              wc.hInstance, nullptr);
  g_window = window_;
}

ComSimulator::~ComSimulator() {
  Revoke();
  g_window = nullptr;
  if (window_ != nullptr) ::DestroyWindow(window_);
  g_sim = nullptr;
}

bool ComSimulator::Register(std::string& error) {
  if (InterfaceInfo() == nullptr) {
    error = "the type library in this program cannot be read";
    return false;
  }
  factory_ = new Factory(*this);
  const HRESULT hr = ::CoRegisterClassObject(CLSID_EchoLinkAutomation, factory_,
                                             CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie_);
  if (FAILED(hr)) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
    error = std::string("cannot offer the class to COM: error ") + code;
    factory_->Release();
    factory_ = nullptr;
    return false;
  }
  wchar_t clsid[40] = {};
  ::StringFromGUID2(CLSID_EchoLinkAutomation, clsid, 40);
  std::string text;
  for (const wchar_t* p = clsid; *p != 0; ++p) text += static_cast<char>(*p);
  log_.Write("LISTEN com:" + text);
  return true;
}

void ComSimulator::Revoke() {
  if (cookie_ != 0) ::CoRevokeClassObject(cookie_);
  cookie_ = 0;
  if (factory_ != nullptr) factory_->Release();
  factory_ = nullptr;
}

int ComSimulator::Adopt(SimObject* object) {
  const int id = next_id_++;
  objects_[id] = object;
  ever_connected_ = true;
  log_.Write("CONNECT " + std::to_string(id));
  if (wait_ == WaitFor::kConnect) EndWait();
  return id;
}

void ComSimulator::Forget(int id, bool keyed) {
  objects_.erase(id);
  if (keyed && !keep_key_) {
    log_.Write("RELEASE " + std::to_string(id) + " (object released while keyed)");
  }
  log_.Write("DISCONNECT " + std::to_string(id));
  UpdateTransmitter();
  // Started by COM for a client: done when the last client has gone (and, for a link program
  // that owns the radio, its transmitter is released).
  if (embedded_ && objects_.empty() && !held_) Quit(0);
}

void ComSimulator::Carried(bool key) {
  held_ = key;
  UpdateTransmitter();
  if (embedded_ && objects_.empty() && !held_) Quit(0);
}

int ComSimulator::TakeLateMs() {
  const int once = late_once_ms_;
  late_once_ms_ = 0;
  return once > 0 ? once : policy_.late_ms;
}

void ComSimulator::Answered(bool key) {
  if (wait_ == WaitFor::kSetPtt && key == wait_key_) EndWait();
}

void ComSimulator::UpdateTransmitter() {
  bool keyed = keep_key_ && held_;
  for (const auto& [id, object] : objects_) keyed = keyed || (!keep_key_ && object->keyed());
  if (keyed == transmitter_) return;
  transmitter_ = keyed;
  log_.Write(keyed ? "TRANSMITTER 1" : "TRANSMITTER 0");
}

void ComSimulator::Wait(long ms) {
  const ULONGLONG end = ::GetTickCount64() + static_cast<ULONGLONG>(ms < 0 ? 0 : ms);
  while (!quitting_) {
    DWORD left = INFINITE;
    if (ms >= 0) {
      const ULONGLONG now = ::GetTickCount64();
      if (now >= end) break;
      left = static_cast<DWORD>(end - now);
    }
    ::MsgWaitForMultipleObjectsEx(0, nullptr, left, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        ::PostQuitMessage(static_cast<int>(msg.wParam));  // for the outermost loop
        return;
      }
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
  }
}

void ComSimulator::WaitForWake() {
  const long wakes = wakes_;
  log_.Write("HELD");
  while (!quitting_ && wakes_ == wakes) Wait(50);
}

int ComSimulator::Run() {
  ::PostMessageW(window_, kWakeMessage, 0, 0);  // the script's commands run from the loop
  MSG msg;
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  return status_;
}

void ComSimulator::Quit(int status, long linger_ms) {
  if (quitting_) return;
  quitting_ = true;
  if (status != 0) status_ = status;  // a timed-out wait's status survives a plain quit
  log_.Write("QUIT");
  Revoke();
  ::KillTimer(window_, kWaitTimer);
  DropAll();
  // A link program that takes its time to close: its class and objects are gone, its process
  // not yet, and it answers nothing meanwhile.
  if (linger_ms > 0) ::Sleep(static_cast<DWORD>(linger_ms));
  ::PostQuitMessage(status);
}

LRESULT CALLBACK ComSimulator::WindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  ComSimulator* sim = g_sim;
  if (sim == nullptr) return ::DefWindowProcW(window, message, w, l);
  switch (message) {
    case kLineMessage: {
      std::unique_ptr<std::string> line(reinterpret_cast<std::string*>(l));
      sim->Append(std::move(*line));
      return 0;
    }
    case kKeyMessage:
      sim->Key(static_cast<char>(w));
      return 0;
    case kEndMessage:
      sim->EndOfInput();
      return 0;
    case kWakeMessage:
      sim->Pump();
      return 0;
    case WM_TIMER:
      if (w == kWaitTimer) sim->OnTimer();
      return 0;
    default:
      return ::DefWindowProcW(window, message, w, l);
  }
}

void ComSimulator::Append(std::string line) {
  queue_.push_back(std::move(line));
  Pump();
}

void ComSimulator::EndOfInput() {}

void ComSimulator::Pump() {
  if (pumping_) return;  // a command in progress ended a wait; its loop goes on
  pumping_ = true;
  while (!quitting_ && wait_ == WaitFor::kNone && !queue_.empty()) {
    const std::string line = std::move(queue_.front());
    queue_.pop_front();
    Execute(line);
  }
  pumping_ = false;
}

void ComSimulator::Key(char key) {
  switch (key) {
    case 'P':
      return SendEvent("PTT", true);
    case 'p':
      return SendEvent("PTT", false);
    case 'T':
      return SendEvent("TX", true);
    case 't':
      return SendEvent("TX", false);
    case 'q':
      return Quit(0);
    default:
      return;
  }
}

void ComSimulator::SendEvent(const char* name, bool on) {
  const DISPID id = std::string_view(name) == "PTT" ? kPttId : kTxId;
  // A snapshot with references of our own: a client may come or go while we call it.
  std::vector<IDispatch*> sinks;
  for (const auto& [object_id, object] : objects_) {
    for (IDispatch* sink : object->Sinks()) sinks.push_back(sink);
  }
  std::size_t reached = 0;
  ULONGLONG longest_ms = 0;  // a client that makes the link program wait for its event
  for (IDispatch* sink : sinks) {
    const ULONGLONG start = ::GetTickCount64();
    VARIANTARG arg;
    ::VariantInit(&arg);
    arg.vt = VT_BOOL;
    arg.boolVal = on ? VARIANT_TRUE : VARIANT_FALSE;
    DISPPARAMS params{&arg, nullptr, 1, 0};
    if (SUCCEEDED(sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                               nullptr, nullptr))) {
      ++reached;
    }
    longest_ms = std::max(longest_ms, ::GetTickCount64() - start);
    sink->Release();
  }
  log_.Write(std::string("EVENT ") + name + (on ? " 1 " : " 0 ") + std::to_string(reached) + " " +
             std::to_string(longest_ms));
}

void ComSimulator::DropAll() {
  std::vector<SimObject*> objects;
  for (const auto& [id, object] : objects_) {
    object->AddRef();
    objects.push_back(object);
  }
  for (SimObject* object : objects) {
    log_.Write("DROP " + std::to_string(object->id()));
    object->Disconnect();
    object->Release();
  }
}

void ComSimulator::Execute(const std::string& text) {
  std::string_view line = text;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const auto words = Words(line);
  if (words.empty() || words[0].front() == '#') return;
  const std::string_view cmd = words[0];
  const std::size_t args = words.size() - 1;
  auto bad = [&] {
    std::fprintf(stderr, "corvanta-linksim: skipped the bad command \"%.*s\"\n",
                 static_cast<int>(line.size()), line.data());
  };
  auto ms = [&](std::size_t i) { return args >= i ? ParseCount(words[i], kMaxMs) : std::nullopt; };

  if ((cmd == "ptt" || cmd == "tx") && args == 1) {
    const auto on = OnOff(words[1], "1", "0");
    if (!on) return bad();
    SendEvent(cmd == "ptt" ? "PTT" : "TX", *on);
  } else if (cmd == "sleep" && args == 1 && ms(1)) {
    StartWait(WaitFor::kSleep, *ms(1));
  } else if (cmd == "wait-connect" && args <= 1 && (args == 0 || ms(1))) {
    if (!objects_.empty()) return;
    StartWait(WaitFor::kConnect, args == 0 ? -1 : *ms(1));
  } else if (cmd == "wait-setptt" && (args == 1 || args == 2) && OnOff(words[1], "1", "0") &&
             (args == 1 || ms(2))) {
    wait_key_ = *OnOff(words[1], "1", "0");
    StartWait(WaitFor::kSetPtt, args == 1 ? -1 : *ms(2));
  } else if ((cmd == "err" || cmd == "silent") && args == 1 && OnOff(words[1], "on", "off")) {
    (cmd == "err" ? policy_.err : policy_.silent) = *OnOff(words[1], "on", "off");
  } else if (cmd == "wake" && args == 0) {
    ++wakes_;
  } else if (cmd == "keep-key" && args == 1 && OnOff(words[1], "on", "off")) {
    keep_key_ = *OnOff(words[1], "on", "off");
    UpdateTransmitter();
  } else if (cmd == "late" && args == 1 && ms(1)) {
    policy_.late_ms = static_cast<int>(*ms(1));
  } else if (cmd == "late-once" && args == 1 && ms(1)) {
    late_once_ms_ = static_cast<int>(*ms(1));
  } else if (cmd == "hang" && args <= 1 && (args == 0 || ms(1))) {
    // A link program whose thread is blocked: it processes nothing, not even COM's calls.
    log_.Write(args == 0 ? std::string("HANG forever") : "HANG " + std::to_string(*ms(1)));
    ::Sleep(args == 0 ? INFINITE : static_cast<DWORD>(*ms(1)));
    log_.Write("HANG over");
  } else if (cmd == "drop" && args == 0) {
    DropAll();
  } else if (cmd == "quit" && args <= 1 && (args == 0 || ms(1))) {
    Quit(0, args == 0 ? 0 : static_cast<long>(*ms(1)));
  } else {
    bad();
  }
}

void ComSimulator::StartWait(WaitFor what, long timeout_ms) {
  wait_ = what;
  wait_timeout_ms_ = timeout_ms;
  if (timeout_ms >= 0) ::SetTimer(window_, kWaitTimer, static_cast<UINT>(timeout_ms), nullptr);
}

void ComSimulator::EndWait() {
  ::KillTimer(window_, kWaitTimer);
  wait_ = WaitFor::kNone;
  ::PostMessageW(window_, kWakeMessage, 0, 0);  // go on from the loop, not inside a COM call
}

void ComSimulator::OnTimer() {
  ::KillTimer(window_, kWaitTimer);
  if (wait_ == WaitFor::kConnect || wait_ == WaitFor::kSetPtt) {
    const std::string what = wait_ == WaitFor::kConnect
                                 ? std::string("wait-connect")
                                 : std::string("wait-setptt ") + (wait_key_ ? "1" : "0");
    std::fprintf(stderr, "corvanta-linksim: %s timed out after %ld ms\n", what.c_str(),
                 wait_timeout_ms_);
    log_.Write("TIMEOUT " + what + " " + std::to_string(wait_timeout_ms_));
    status_ = 3;
  }
  wait_ = WaitFor::kNone;
  Pump();
}

}  // namespace corvanta::linksim
