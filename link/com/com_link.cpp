#include "link/com/com_link.h"

#include <windows.h>

#include <ocidl.h>
#include <oleauto.h>

#include <condition_variable>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "core/errors.h"
#include "link/com/echolink.h"
#include "link/link_event_queue.h"

namespace corvanta {

namespace {

constexpr UINT kDeliverMessage = WM_APP + 1;
constexpr UINT_PTR kRetryTimer = 1;
constexpr UINT_PTR kProbeTimer = 2;

std::string Narrow(const wchar_t* text) {
  if (text == nullptr) return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string out(static_cast<std::size_t>(n - 1), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  return out;
}

// "Class not registered (0x80040154)": the system's text where it has one.
std::string ResultText(HRESULT hr) {
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message = n > 0 ? Narrow(text) : std::string();
  if (text != nullptr) ::LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
  return message.empty() ? std::string("error ") + code : message + " (" + code + ")";
}

// Results that mean the link program's process, or our connection to it, is gone.
bool IsGone(HRESULT hr) {
  switch (static_cast<unsigned long>(hr)) {
    case 0x80010108UL:  // RPC_E_DISCONNECTED
    case 0x80010007UL:  // RPC_E_SERVER_DIED
    case 0x80010012UL:  // RPC_E_SERVER_DIED_DNE
    case 0x800706BAUL:  // RPC_S_SERVER_UNAVAILABLE
    case 0x800706BEUL:  // RPC_S_CALL_FAILED
    case 0x800706BFUL:  // RPC_S_CALL_FAILED_DNE
    case 0x800401FDUL:  // CO_E_OBJNOTCONNECTED
      return true;
    default:
      return false;
  }
}

template <typename T>
void ReleaseAndClear(T*& p) {
  if (p != nullptr) p->Release();
  p = nullptr;
}

// Carries the calls that wait for the link program (SetPTT, the liveness check) on a thread of
// its own, in the multithreaded apartment, through its own proxy of the instance; the window
// thread waits for the result at most a deadline. A call the link program never answers keeps
// only this thread: it is abandoned, and ends when the call does (or with the process).
class CallThread {
 public:
  // Starts the thread for `object`, an instance held by the window thread's apartment.
  static std::shared_ptr<CallThread> Start(IEchoLinkAutomation* object, HRESULT& hr) {
    auto shared = std::make_shared<Shared>();
    IStream* stream = nullptr;
    hr = ::CoMarshalInterThreadInterfaceInStream(IID_IEchoLinkAutomation, object, &stream);
    if (FAILED(hr)) return nullptr;
    std::thread(&Run, shared, stream).detach();
    ::WaitForSingleObject(shared->done, INFINITE);  // the thread has taken its proxy
    hr = shared->result;
    if (FAILED(hr)) return nullptr;
    return std::shared_ptr<CallThread>(new CallThread(shared));
  }

  ~CallThread() {
    const std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->stop = true;
    shared_->wake.notify_one();
  }
  CallThread(const CallThread&) = delete;
  CallThread& operator=(const CallThread&) = delete;

  // Runs `call` there and waits up to `ms`, running only COM's incoming calls meanwhile (the
  // link program's events reach the sink, which queues them). RPC_E_CALL_CANCELED when the
  // answer did not come in time; the thread is then of no further use.
  HRESULT Call(std::function<HRESULT(IEchoLinkAutomation*)> call, int ms) {
    if (stuck_) return RPC_E_CALL_CANCELED;
    {
      const std::lock_guard<std::mutex> lock(shared_->mutex);
      shared_->job = std::move(call);
      shared_->wake.notify_one();
    }
    DWORD index = 0;
    HANDLE done = shared_->done;
    const HRESULT waited = ::CoWaitForMultipleHandles(0, static_cast<DWORD>(ms), 1, &done, &index);
    if (waited == RPC_S_CALLPENDING || FAILED(waited)) {
      stuck_ = true;
      return RPC_E_CALL_CANCELED;
    }
    const std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->result;
  }

 private:
  struct Shared {
    Shared() : done(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    ~Shared() { ::CloseHandle(done); }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;
    std::mutex mutex;
    std::condition_variable wake;
    std::function<HRESULT(IEchoLinkAutomation*)> job;
    bool stop = false;
    HRESULT result = S_OK;
    HANDLE done;  // auto-reset: set after the proxy is taken, and after each call
  };

  explicit CallThread(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

  static void Run(std::shared_ptr<Shared> shared, IStream* stream) {
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IEchoLinkAutomation* proxy = nullptr;
    // Takes the proxy and releases the stream, also on failure.
    HRESULT hr = ::CoGetInterfaceAndReleaseStream(stream, IID_IEchoLinkAutomation,
                                                  reinterpret_cast<void**>(&proxy));
    shared->result = hr;
    ::SetEvent(shared->done);
    while (SUCCEEDED(hr)) {
      std::function<HRESULT(IEchoLinkAutomation*)> job;
      {
        std::unique_lock<std::mutex> lock(shared->mutex);
        shared->wake.wait(lock, [&] { return shared->stop || shared->job; });
        if (shared->stop) break;
        job = std::move(shared->job);
        shared->job = nullptr;
      }
      const HRESULT result = job(proxy);
      {
        const std::lock_guard<std::mutex> lock(shared->mutex);
        shared->result = result;
      }
      ::SetEvent(shared->done);
    }
    if (proxy != nullptr) proxy->Release();
    ::CoUninitialize();
  }

  std::shared_ptr<Shared> shared_;
  bool stuck_ = false;
};

class Connection;

// The event interface's sink. The link program calls Invoke; the sink only queues the event with
// its connection, which posts itself a message to deliver it.
class EventSink final : public IDispatch {
 public:
  explicit EventSink(Connection* owner) : owner_(owner) {}
  void Detach() { owner_ = nullptr; }
  void SetIds(DISPID ptt, DISPID tx) {
    ptt_ = ptt;
    tx_ = tx;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID_IEchoLinkAutomationEvents) {
      *out = static_cast<IDispatch*>(this);
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
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                   EXCEPINFO*, UINT*) override;

 private:
  long refs_ = 1;
  Connection* owner_;
  DISPID ptt_ = DISPID_UNKNOWN;
  DISPID tx_ = DISPID_UNKNOWN;
};

class Connection final : public std::enable_shared_from_this<Connection> {
 public:
  Connection(ComLinkOptions options, LinkEventSink sink)
      : options_(std::move(options)), sink_(std::move(sink)) {
    const HRESULT init = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    com_initialised_ = SUCCEEDED(init);  // RPC_E_CHANGED_MODE: someone chose; we live with it
    window_ = ::CreateWindowExW(0, WindowClass(), L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                ::GetModuleHandleW(nullptr), nullptr);
    if (window_ == nullptr) {
      throw LinkError("cannot make the link's message window: " +
                      ResultText(HRESULT_FROM_WIN32(::GetLastError())));
    }
    ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }

  ~Connection() {
    // COM's waits below may run this window's messages: none reaches a dying connection.
    ::SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    Disconnect(false);
    ::DestroyWindow(window_);
    if (com_initialised_) ::CoUninitialize();
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void Start() { TryConnect(true); }

  // The owner let go: no more events, no retries; the instance is released now.
  void Detach() {
    attached_ = false;
    sink_ = {};
    pending_.clear();
    ::KillTimer(window_, kRetryTimer);
    ::KillTimer(window_, kProbeTimer);
    Disconnect(true);
  }

  void SetPTT(bool key) {
    if (object_ == nullptr) {
      throw LinkError("the link program is not connected", false, !key && released_on_close_);
    }
    if (key) {
      keyed_here_ = true;
      released_on_close_ = false;
    }
    in_call_ = true;
    const VARIANT_BOOL value = key ? VARIANT_TRUE : VARIANT_FALSE;
    const HRESULT hr =
        calls_->Call([value](IEchoLinkAutomation* object) { return object->SetPTT(value); },
                     options_.answer_timeout_ms);
    in_call_ = false;
    if (!pending_.empty()) ScheduleDelivery();  // events that came with the wait, in order
    if (hr == RPC_E_CALL_CANCELED) {
      // An answer that comes later would belong to nobody: a new instance starts afresh. Unlike
      // a closed connection, letting go of an instance whose program does not answer releases
      // nothing for sure (that program may never process the release), so nothing is claimed.
      Reconnect("did not answer within " + std::to_string(options_.answer_timeout_ms) + " ms");
      throw LinkError("the link program did not answer within " +
                          std::to_string(options_.answer_timeout_ms) +
                          " ms; the connection was made again",
                      true, false);
    }
    if (IsGone(hr)) {
      Lost(ResultText(hr));
      throw LinkError("the connection to the link program was lost", true, released_on_close_);
    }
    if (FAILED(hr)) throw LinkError("the link program refused: " + ResultText(hr), false);
    if (!key) keyed_here_ = false;
  }

  // From the sink, inside the link program's call: keep the event for the message loop.
  void Queue(LinkEventQueue::Kind kind, std::int16_t value) {
    if (!attached_) return;
    if (!pending_.Push(kind, value)) {
      Log("too many link events waiting; dropped one");
      return;
    }
    if (!in_call_) ScheduleDelivery();
  }

 private:
  static const wchar_t* WindowClass() {
    static const wchar_t* name = [] {
      WNDCLASSW wc{};
      wc.lpfnWndProc = &WindowProc;
      wc.hInstance = ::GetModuleHandleW(nullptr);
      wc.lpszClassName = L"CorvantaComLink";
      ::RegisterClassW(&wc);
      return L"CorvantaComLink";
    }();
    return name;
  }

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    auto* self = reinterpret_cast<Connection*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr) return ::DefWindowProcW(window, message, w, l);
    if (message == kDeliverMessage) {
      // The delivery may end in the owner's release; the connection outlives it.
      const std::shared_ptr<Connection> keep = self->shared_from_this();
      self->delivery_posted_ = false;
      self->DeliverPending();
      return 0;
    }
    if (message == WM_TIMER) {
      const std::shared_ptr<Connection> keep = self->shared_from_this();
      if (w == kRetryTimer) {
        ::KillTimer(window, kRetryTimer);
        self->TryConnect(false);
      } else if (w == kProbeTimer) {
        self->Probe();
      }
      return 0;
    }
    return ::DefWindowProcW(window, message, w, l);
  }

  void TryConnect(bool first) {
    if (!attached_) return;
    std::string error;
    const HRESULT hr = Connect(error);
    if (SUCCEEDED(hr)) {
      ::SetTimer(window_, kProbeTimer, static_cast<UINT>(options_.retry_ms), nullptr);
      Status("Link program connected (" + ComLinkName() + ")");
      return;
    }
    Disconnect(false);
    if (first) {
      Status("Link program not connected (" + ComLinkName() + "): " + error + "; retrying every " +
             std::to_string(options_.retry_ms / 1000) + " s");
    }
    ::SetTimer(window_, kRetryTimer, static_cast<UINT>(options_.retry_ms), nullptr);
  }

  HRESULT Connect(std::string& error) {
    HRESULT hr = ::CoCreateInstance(CLSID_EchoLinkAutomation, nullptr,
                                    CLSCTX_LOCAL_SERVER | CLSCTX_INPROC_SERVER,
                                    IID_IEchoLinkAutomation, reinterpret_cast<void**>(&object_));
    if (FAILED(hr)) {
      object_ = nullptr;
      error = ResultText(hr);
      return hr;
    }
    calls_ = CallThread::Start(object_, hr);
    if (!calls_) {
      error = "its interface cannot be reached: " + ResultText(hr);
      return hr;
    }
    DISPID ptt = DISPID_UNKNOWN;
    DISPID tx = DISPID_UNKNOWN;
    if (!EventIds(ptt, tx)) {
      error = "its type library does not name the PTT and TX events";
      return E_FAIL;
    }
    IConnectionPointContainer* container = nullptr;
    hr = object_->QueryInterface(IID_IConnectionPointContainer,
                                 reinterpret_cast<void**>(&container));
    if (SUCCEEDED(hr)) {
      hr = container->FindConnectionPoint(DIID_IEchoLinkAutomationEvents, &point_);
      container->Release();
    }
    if (FAILED(hr)) {
      point_ = nullptr;
      error = "it offers no PTT and TX events: " + ResultText(hr);
      return hr;
    }
    events_ = new EventSink(this);
    events_->SetIds(ptt, tx);
    hr = point_->Advise(events_, &cookie_);
    if (FAILED(hr)) {
      cookie_ = 0;
      error = "it refused the events: " + ResultText(hr);
      return hr;
    }
    return S_OK;
  }

  // The events' dispatch ids, looked up by name in the registered type library (read here, in
  // this process), or else in the one the object comes from.
  bool EventIds(DISPID& ptt, DISPID& tx) {
    ITypeLib* registered = nullptr;
    if (SUCCEEDED(::LoadRegTypeLib(LIBID_EchoLink, 1, 0, LOCALE_NEUTRAL, &registered))) {
      const bool found = IdsIn(registered, ptt, tx);
      registered->Release();
      if (found) return true;
    }
    ITypeInfo* info = nullptr;
    ITypeLib* own = nullptr;
    UINT index = 0;
    if (FAILED(object_->GetTypeInfo(0, LOCALE_USER_DEFAULT, &info))) return false;
    info->GetContainingTypeLib(&own, &index);
    info->Release();
    if (own == nullptr) return false;
    const bool found = IdsIn(own, ptt, tx);
    own->Release();
    return found;
  }

  static bool IdsIn(ITypeLib* library, DISPID& ptt, DISPID& tx) {
    ITypeInfo* events = nullptr;
    if (FAILED(library->GetTypeInfoOfGuid(DIID_IEchoLinkAutomationEvents, &events))) return false;
    wchar_t ptt_name[] = L"PTT";
    wchar_t tx_name[] = L"TX";
    LPOLESTR names[] = {ptt_name, tx_name};
    MEMBERID ids[2] = {DISPID_UNKNOWN, DISPID_UNKNOWN};
    const bool ok = SUCCEEDED(events->GetIDsOfNames(&names[0], 1, &ids[0])) &&
                    SUCCEEDED(events->GetIDsOfNames(&names[1], 1, &ids[1]));
    events->Release();
    ptt = ids[0];
    tx = ids[1];
    return ok;
  }

  // Lets go of the instance. `polite`: end the subscription first (the link program is there);
  // otherwise only our references go.
  void Disconnect(bool polite) {
    if (events_ != nullptr) events_->Detach();
    if (point_ != nullptr && cookie_ != 0 && polite) point_->Unadvise(cookie_);
    cookie_ = 0;
    calls_.reset();
    ReleaseAndClear(point_);
    ReleaseAndClear(object_);
    ReleaseAndClear(events_);
  }

  // The link program's process, or its object, is gone: whatever it had keyed is released.
  void MarkClosed() {
    if (keyed_here_) released_on_close_ = true;
    keyed_here_ = false;
  }

  void Lost(const std::string& why) {
    MarkClosed();
    ::KillTimer(window_, kProbeTimer);
    Disconnect(false);
    if (!attached_) return;
    Status("Link program lost (" + ComLinkName() + "): " + why + "; retrying every " +
           std::to_string(options_.retry_ms / 1000) + " s");
    ::SetTimer(window_, kRetryTimer, static_cast<UINT>(options_.retry_ms), nullptr);
  }

  // The instance stopped answering: a new one is made. What the old one keyed is not known to be
  // released (see SetPTT).
  void Reconnect(const std::string& why) {
    ::KillTimer(window_, kProbeTimer);
    Disconnect(false);
    keyed_here_ = false;
    released_on_close_ = false;
    Status("Link program " + why + "; connecting again (" + ComLinkName() + ")");
    TryConnect(false);
  }

  // Is the instance still there? One cheap call that crosses to the link program.
  void Probe() {
    if (object_ == nullptr || in_call_) return;
    in_call_ = true;
    const HRESULT hr = calls_->Call(
        [](IEchoLinkAutomation* object) {
          UINT count = 0;
          return object->GetTypeInfoCount(&count);
        },
        options_.answer_timeout_ms);
    in_call_ = false;
    if (!pending_.empty()) ScheduleDelivery();
    if (IsGone(hr)) Lost(ResultText(hr));
    // A link program that stopped answering is as good as gone.
    if (hr == RPC_E_CALL_CANCELED)
      Reconnect("did not answer within " + std::to_string(options_.answer_timeout_ms) + " ms");
  }

  void ScheduleDelivery() {
    if (delivery_posted_) return;
    delivery_posted_ = true;
    ::PostMessageW(window_, kDeliverMessage, 0, 0);
  }

  // Delivers every waiting event in order (link/link_event_queue.h); what is still waiting goes
  // out through a new post, from the message processing of a transmission a handler starts.
  void DeliverPending() {
    if (in_call_) return;  // COM's wait ran our message; SetPTT posts again after it
    pending_.Deliver(
        sink_, [this] { return attached_; }, [this] { ScheduleDelivery(); },
        [this](const std::string& text) { Status(text); });
  }

  void Status(const std::string& text) {
    if (attached_ && options_.status) options_.status(text);
  }
  void Log(const std::string& text) {
    if (++logged_ <= 20) {
      std::cerr << "corvanta: link: " << text << '\n';
    } else if (logged_ == 21) {
      std::cerr << "corvanta: link: further link messages are not logged\n";
    }
  }

  ComLinkOptions options_;
  LinkEventSink sink_;
  bool com_initialised_ = false;
  HWND window_ = nullptr;
  bool attached_ = true;
  IEchoLinkAutomation* object_ = nullptr;
  std::shared_ptr<CallThread> calls_;
  IConnectionPoint* point_ = nullptr;
  EventSink* events_ = nullptr;
  DWORD cookie_ = 0;
  LinkEventQueue pending_{options_.max_pending_events};
  bool delivery_posted_ = false;
  bool in_call_ = false;
  bool keyed_here_ = false;         // asked to key and not yet to release
  bool released_on_close_ = false;  // an instance that had keyed went away since the last keying
  int logged_ = 0;
};

HRESULT STDMETHODCALLTYPE EventSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params,
                                            VARIANT*, EXCEPINFO*, UINT*) {
  if (owner_ == nullptr || (id != ptt_ && id != tx_)) return S_OK;  // not subscribed
  if (params == nullptr || params->cArgs < 1) return DISP_E_BADPARAMCOUNT;
  VARIANT value;
  ::VariantInit(&value);
  // Any non-zero argument counts as true, whatever type the link program sends it in.
  const HRESULT hr = ::VariantChangeType(&value, &params->rgvarg[params->cArgs - 1], 0, VT_I2);
  if (FAILED(hr)) return DISP_E_TYPEMISMATCH;
  owner_->Queue(id == ptt_ ? LinkEventQueue::Kind::kPtt : LinkEventQueue::Kind::kTx, value.iVal);
  return S_OK;
}

class ComLinkObject final : public LinkObject {
 public:
  ComLinkObject(const ComLinkOptions& options, LinkEventSink sink)
      : connection_(std::make_shared<Connection>(options, std::move(sink))) {
    connection_->Start();
  }
  ~ComLinkObject() override { connection_->Detach(); }
  ComLinkObject(const ComLinkObject&) = delete;
  ComLinkObject& operator=(const ComLinkObject&) = delete;

  void SetPTT(bool key) override {
    // The connection lives through the call even if an event handler run meanwhile let go of us.
    const std::shared_ptr<Connection> keep = connection_;
    keep->SetPTT(key);
  }

 private:
  std::shared_ptr<Connection> connection_;
};

}  // namespace

std::string ComLinkName() {
  wchar_t text[40] = {};
  ::StringFromGUID2(CLSID_EchoLinkAutomation, text, 40);
  return "com:" + Narrow(text);
}

LinkFactory ComLinkFactory(ComLinkOptions options) {
  return [options = std::move(options)](LinkEventSink sink) -> std::unique_ptr<LinkObject> {
    return std::make_unique<ComLinkObject>(options, std::move(sink));
  };
}

}  // namespace corvanta
