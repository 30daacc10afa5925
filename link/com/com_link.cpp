#include "link/com/com_link.h"

#include <windows.h>

#include <ocidl.h>
#include <oleauto.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/errors.h"
#include "core/transmissions.h"
#include "link/com/class_registry.h"
#include "link/com/echolink.h"
#include "link/link_event_queue.h"

namespace corvanta {

namespace {

// Posted to the connection's window: events arrived, or a call on the instance's thread ended.
constexpr UINT kWakeMessage = WM_APP + 1;
constexpr UINT_PTR kRetryTimer = 1;
constexpr UINT_PTR kWatchTimer = 2;

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

std::string Seconds(int ms) {
  return std::to_string(ms / 1000) + (ms % 1000 != 0 ? "." + std::to_string(ms % 1000 / 100) : "") +
         " s";
}

// The link program's events, from the sink (called on COM's threads) to the window thread.
class Mailbox {
 public:
  struct Event {
    LinkEventQueue::Kind kind;
    std::int16_t value;
  };
  Mailbox(HWND window, std::size_t limit) : window_(window), limit_(limit) {}

  // Any thread: keeps the event and wakes the window thread. False when it had to be dropped.
  bool Put(LinkEventQueue::Kind kind, std::int16_t value) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return true;
    if (events_.size() >= limit_) {
      ++dropped_;
      return false;
    }
    if (events_.empty()) ::PostMessageW(window_, kWakeMessage, 0, 0);
    events_.push_back({kind, value});
    return true;
  }
  // Window thread: the events in the order they came, and how many were dropped since.
  std::vector<Event> Take(std::size_t& dropped) {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Event> out;
    out.swap(events_);
    dropped = dropped_;
    dropped_ = 0;
    return out;
  }
  // No more events from this instance.
  void Close() {
    const std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    events_.clear();
  }

 private:
  std::mutex mutex_;
  HWND window_;
  std::size_t limit_;
  std::vector<Event> events_;
  std::size_t dropped_ = 0;
  bool closed_ = false;
};

// The event interface's sink. It lives in the multithreaded apartment, so the link program's
// event call never waits for the window thread: Invoke only queues the event.
class EventSink final : public IDispatch {
 public:
  EventSink(std::shared_ptr<Mailbox> mailbox, DISPID ptt, DISPID tx)
      : mailbox_(std::move(mailbox)), ptt_(ptt), tx_(tx) {}

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
                                   EXCEPINFO*, UINT*) override {
    if (id != ptt_ && id != tx_) return S_OK;  // not subscribed
    if (params == nullptr || params->cArgs < 1) return DISP_E_BADPARAMCOUNT;
    VARIANT value;
    ::VariantInit(&value);
    // Any non-zero argument counts as true, whatever type the link program sends it in.
    if (FAILED(::VariantChangeType(&value, &params->rgvarg[params->cArgs - 1], 0, VT_I2))) {
      return DISP_E_TYPEMISMATCH;
    }
    mailbox_->Put(id == ptt_ ? LinkEventQueue::Kind::kPtt : LinkEventQueue::Kind::kTx, value.iVal);
    return S_OK;
  }

 private:
  std::atomic<long> refs_{1};
  std::shared_ptr<Mailbox> mailbox_;
  DISPID ptt_;
  DISPID tx_;
};

// One call handed to an instance's thread; the window thread waits for it, or looks at it again
// when the thread says it has ended.
struct Call {
  enum class What { kConnect, kSetPtt, kProbe, kStop };
  Call(What w, bool k) : what(w), key(k) {}
  ~Call() { ::CloseHandle(event); }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  bool Done() const { return done.load(std::memory_order_acquire); }
  bool Wait(int ms) const {
    return ::WaitForSingleObject(event, static_cast<DWORD>(ms)) == WAIT_OBJECT_0;
  }
  int AgeMs() const { return static_cast<int>(::GetTickCount64() - started); }
  // How long the link program took to answer; valid once done.
  int AnswerMs() const { return static_cast<int>(finished - started); }

  const What what;
  const bool key;  // kSetPtt
  const ULONGLONG started = ::GetTickCount64();
  // Written by the instance's thread before `done`; read by the window thread after it.
  HRESULT result = S_OK;
  std::string error;         // kConnect: why it failed
  bool by_dispatch = false;  // kConnect: SetPTT goes through IDispatch
  ULONGLONG finished = 0;
  std::atomic<bool> done{false};
  HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
};

// One instance of the link program's object and the thread, in the multithreaded apartment, that
// makes every call to it, one after the other. The thread owns every interface pointer. A call
// the link program never answers keeps the thread and the calls behind it: the window thread then
// abandons the worker, and the thread ends when (if ever) the call returns, after its last call
// (kStop) has ended the subscription and released the instance.
class Worker {
 public:
  static std::shared_ptr<Worker> Start(HWND window, std::shared_ptr<Mailbox> mailbox) {
    std::shared_ptr<Worker> worker(new Worker(window, std::move(mailbox)));
    std::thread([worker] { worker->Run(); }).detach();
    return worker;
  }

  std::shared_ptr<Call> Post(Call::What what, bool key = false) {
    auto call = std::make_shared<Call>(what, key);
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(call);
    }
    wake_.notify_one();
    return call;
  }

 private:
  Worker(HWND window, std::shared_ptr<Mailbox> mailbox)
      : window_(window), mailbox_(std::move(mailbox)) {}

  void Run() {
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    for (bool stop = false; !stop;) {
      std::shared_ptr<Call> call;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return !queue_.empty(); });
        call = std::move(queue_.front());
        queue_.pop_front();
      }
      Execute(*call);
      stop = call->what == Call::What::kStop;
      call->finished = ::GetTickCount64();
      call->done.store(true, std::memory_order_release);
      ::SetEvent(call->event);
      ::PostMessageW(window_, kWakeMessage, 0, 0);
    }
    ::CoUninitialize();
  }

  void Execute(Call& call) {
    switch (call.what) {
      case Call::What::kConnect:
        call.result = Connect(call);
        if (FAILED(call.result)) Release();
        return;
      case Call::What::kSetPtt:
        call.result = SetPtt(call.key);
        return;
      case Call::What::kProbe: {
        // Is the instance still there? One cheap call that crosses to the link program.
        UINT count = 0;
        call.result = object_ != nullptr ? object_->GetTypeInfoCount(&count) : E_UNEXPECTED;
        return;
      }
      case Call::What::kStop:
        Release();
        return;
    }
  }

  HRESULT Connect(Call& call) {
    HRESULT hr = ::CoCreateInstance(CLSID_EchoLinkAutomation, nullptr,
                                    CLSCTX_LOCAL_SERVER | CLSCTX_INPROC_SERVER, IID_IDispatch,
                                    reinterpret_cast<void**>(&object_));
    if (FAILED(hr)) {
      object_ = nullptr;
      call.error = ResultText(hr);
      return hr;
    }
    // A 32-bit link program registers its interfaces in the 32-bit registry view only, so a
    // 64-bit client cannot have its custom interface marshaled; IDispatch always is.
    if (FAILED(
            object_->QueryInterface(IID_IEchoLinkAutomation, reinterpret_cast<void**>(&dual_)))) {
      dual_ = nullptr;
      wchar_t name[] = L"SetPTT";
      LPOLESTR names[] = {name};
      hr = object_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &set_ptt_id_);
      if (FAILED(hr)) {
        call.error = "it offers SetPTT neither through its interface nor through IDispatch: " +
                     ResultText(hr);
        return hr;
      }
      call.by_dispatch = true;
    }
    DISPID ptt = DISPID_UNKNOWN;
    DISPID tx = DISPID_UNKNOWN;
    if (!EventIds(ptt, tx)) {
      call.error = "its type library does not name the PTT and TX events";
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
      call.error = "it offers no PTT and TX events: " + ResultText(hr);
      return hr;
    }
    sink_ = new EventSink(mailbox_, ptt, tx);
    hr = point_->Advise(sink_, &cookie_);
    if (FAILED(hr)) {
      cookie_ = 0;
      call.error = "it refused the events: " + ResultText(hr);
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

  HRESULT SetPtt(bool key) {
    const VARIANT_BOOL value = key ? VARIANT_TRUE : VARIANT_FALSE;
    if (dual_ != nullptr) return dual_->SetPTT(value);  // the thirteenth entry of its table
    if (object_ == nullptr) return E_UNEXPECTED;
    VARIANTARG arg;
    ::VariantInit(&arg);
    arg.vt = VT_BOOL;
    arg.boolVal = value;
    DISPPARAMS params{&arg, nullptr, 1, 0};
    EXCEPINFO exception{};
    HRESULT hr = object_->Invoke(set_ptt_id_, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                 &params, nullptr, &exception, nullptr);
    if (hr == DISP_E_EXCEPTION) {
      // A method's own error comes through IDispatch wrapped as an exception.
      if (exception.pfnDeferredFillIn != nullptr) exception.pfnDeferredFillIn(&exception);
      hr = FAILED(exception.scode) ? exception.scode : E_FAIL;
    }
    ::SysFreeString(exception.bstrSource);
    ::SysFreeString(exception.bstrDescription);
    ::SysFreeString(exception.bstrHelpFile);
    return hr;
  }

  // Ends the subscription and lets go of the instance.
  void Release() {
    if (point_ != nullptr && cookie_ != 0) point_->Unadvise(cookie_);
    cookie_ = 0;
    ReleaseAndClear(point_);
    ReleaseAndClear(dual_);
    ReleaseAndClear(object_);
    ReleaseAndClear(sink_);
  }

  const HWND window_;
  const std::shared_ptr<Mailbox> mailbox_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<Call>> queue_;
  // The instance's thread only.
  IDispatch* object_ = nullptr;
  IEchoLinkAutomation* dual_ = nullptr;
  DISPID set_ptt_id_ = DISPID_UNKNOWN;
  IConnectionPoint* point_ = nullptr;
  EventSink* sink_ = nullptr;
  DWORD cookie_ = 0;
};

class Connection final : public std::enable_shared_from_this<Connection> {
 public:
  Connection(ComLinkOptions options, LinkEventSink sink)
      : options_(std::move(options)), sink_(std::move(sink)) {
    window_ = ::CreateWindowExW(0, WindowClass(), L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                ::GetModuleHandleW(nullptr), nullptr);
    if (window_ == nullptr) {
      throw LinkError("cannot make the link's message window: " +
                          ResultText(HRESULT_FROM_WIN32(::GetLastError())),
                      LinkError::Fate::kNotSent);
    }
    ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }

  ~Connection() {
    ::SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    Stop(false);
    ::DestroyWindow(window_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Start-up creates the object as the program always has, which may start the link program.
  void Start() { TryConnect(true); }

  // The owner let go: no more events, no retries; the instance is released on its thread.
  void Detach() {
    attached_ = false;
    sink_ = {};
    pending_.clear();
    ::KillTimer(window_, kRetryTimer);
    ::KillTimer(window_, kWatchTimer);
    Stop(true);
  }

  void SetPTT(bool key) {
    if (!key) wanted_ = false;  // whatever happens to this call, no courtesy holds the key now
    // A request of our own sent without waiting (a release owed to this instance) gets the same
    // deadline a request of the caller's would; one already given up on gets none.
    if (late_ && !late_->Done() && late_->AgeMs() < options_.answer_timeout_ms) {
      late_->Wait(options_.answer_timeout_ms - late_->AgeMs());
    }
    if (late_ && late_->Done()) OnLateDone();
    if (state_ != State::kConnected) {
      throw LinkError("the link program is not connected", LinkError::Fate::kNotSent,
                      !key && released_on_close_);
    }
    if (late_) {
      if (!key) {
        throw LinkError(
            "the link program has not answered an earlier request; the release goes "
            "out once it does",
            LinkError::Fate::kQueued);
      }
      throw LinkError("the link program has not answered an earlier request",
                      LinkError::Fate::kNotSent);
    }
    const std::shared_ptr<Call> call = worker_->Post(Call::What::kSetPtt, key);
    if (key) {
      wanted_ = true;
      keyed_here_ = true;  // it may key whatever it answers
      released_on_close_ = false;
    }
    if (!call->Wait(options_.answer_timeout_ms)) {
      // The instance is kept: the answer may still come, and what it did is settled then.
      late_ = call;
      throw LinkError("the link program did not answer within " +
                          std::to_string(options_.answer_timeout_ms) + " ms",
                      LinkError::Fate::kUnanswered);
    }
    const HRESULT hr = call->result;
    if (SUCCEEDED(hr)) {
      if (!key) keyed_here_ = false;
      return;
    }
    if (IsGone(hr)) {
      Lost(ResultText(hr));
      throw LinkError("the connection to the link program was lost", LinkError::Fate::kLost,
                      released_on_close_);
    }
    throw LinkError("the link program refused: " + ResultText(hr), LinkError::Fate::kRefused);
  }

 private:
  enum class State { kAway, kConnecting, kConnected };

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
    // A handler may end in the owner's release; the connection outlives it.
    const std::shared_ptr<Connection> keep = self->shared_from_this();
    if (message == kWakeMessage) {
      self->OnWake();
      return 0;
    }
    if (message == WM_TIMER) {
      if (w == kRetryTimer) {
        ::KillTimer(window, kRetryTimer);
        self->TryConnect(false);
      } else if (w == kWatchTimer) {
        self->OnWatch();
      }
      return 0;
    }
    return ::DefWindowProcW(window, message, w, l);
  }

  // Starts making an instance. After a loss only a link program that runs is attached to: asking
  // COM for the class would start one its operator has just closed. One that has just started is
  // given settle_ms to offer its class first, or COM would start a second copy.
  void TryConnect(bool first) {
    if (!attached_ || worker_) return;
    if (!first) {
      const long long running_ms = com::LinkProgramRunningMs();
      if (running_ms < 0 && !closed_said_) {
        closed_said_ = true;
        Status("Link program closed; waiting for it to run again (" + ComLinkName() + ")");
      }
      if (running_ms < options_.settle_ms) {
        // Looked for more often than a retry, so that it is attached to soon after it starts.
        ::SetTimer(window_, kRetryTimer, static_cast<UINT>(options_.settle_ms / 2), nullptr);
        return;
      }
    }
    first_ = first;
    mailbox_ = std::make_shared<Mailbox>(window_, options_.max_pending_events);
    worker_ = Worker::Start(window_, mailbox_);
    connect_ = worker_->Post(Call::What::kConnect);
    state_ = State::kConnecting;
    ::SetTimer(window_, kWatchTimer, static_cast<UINT>(options_.retry_ms), nullptr);
    if (first && connect_->Wait(options_.connect_wait_ms)) OnConnectDone();
  }

  void OnConnectDone() {
    const std::shared_ptr<Call> call = std::move(connect_);
    if (SUCCEEDED(call->result)) {
      state_ = State::kConnected;
      closed_said_ = false;
      Status("Link program connected (" + ComLinkName() + "; SetPTT through " +
             (call->by_dispatch ? "IDispatch" : "its interface") + ")");
      // A key the lost or abandoned instance may have left down: the release goes to this one.
      if (release_owed_ && !wanted_) SendWithoutWaiting(false);
      release_owed_ = false;
      return;
    }
    Stop(false);
    if (first_) {
      Status("Link program not connected (" + ComLinkName() + "): " + call->error +
             "; retrying every " + Seconds(options_.retry_ms));
    }
    ::SetTimer(window_, kRetryTimer, static_cast<UINT>(options_.retry_ms), nullptr);
  }

  // A request the window thread stopped waiting for has been answered.
  void OnLateDone() {
    const std::shared_ptr<Call> call = std::move(late_);
    if (IsGone(call->result)) {
      Lost(ResultText(call->result));
      return;
    }
    const std::string what = std::string("SetPTT(") + (call->key ? "true" : "false") + ")";
    if (SUCCEEDED(call->result) && !call->key) keyed_here_ = false;
    // A key that no courtesy holds any more goes up again at once.
    const bool release = call->key && !wanted_;
    if (call->AnswerMs() > options_.answer_timeout_ms || FAILED(call->result)) {
      Status("Link program answered " + what + " after " + std::to_string(call->AnswerMs()) +
             " ms" + (FAILED(call->result) ? " (refused: " + ResultText(call->result) + ")" : "") +
             (release ? "; releasing the key" : ""));
    }
    if (release) SendWithoutWaiting(false);
  }

  void OnProbeDone() {
    const std::shared_ptr<Call> call = std::move(probe_);
    if (IsGone(call->result)) {
      Lost(ResultText(call->result));
    } else if (FAILED(call->result)) {
      Log("the liveness check failed: " + ResultText(call->result));
    }
  }

  // Every retry_ms while an instance exists: the liveness check, and the end of waiting for a
  // link program that does not answer.
  void OnWatch() {
    if (!worker_) {
      ::KillTimer(window_, kWatchTimer);
      return;
    }
    const std::string hung = " unanswered for " + Seconds(options_.hung_ms);
    if (late_ && !late_->Done() && late_->AgeMs() >= options_.hung_ms) {
      return Abandon(std::string("SetPTT(") + (late_->key ? "true" : "false") + ")" + hung);
    }
    if (probe_ && !probe_->Done() && probe_->AgeMs() >= options_.hung_ms) {
      return Abandon("a call" + hung);
    }
    if (connect_ && !connect_->Done() && connect_->AgeMs() >= options_.hung_ms) {
      // A new attempt would wait for the same link program; once it is gone, one may start.
      if (com::LinkProgramRunningMs() < 0) return Abandon("the creation of its object" + hung);
      if (!hung_said_) {
        hung_said_ = true;
        Status("Link program not answering (" + ComLinkName() + "): the creation of its object" +
               hung + "; waiting");
      }
      return;
    }
    // No call crosses to the link program in the middle of a transmission.
    if (state_ == State::kConnected && !late_ && !probe_ && TransmissionDepth() == 0) {
      probe_ = worker_->Post(Call::What::kProbe);
    }
  }

  void OnWake() {
    if (mailbox_) {
      std::size_t dropped = 0;
      for (const Mailbox::Event& e : mailbox_->Take(dropped)) {
        if (!pending_.Push(e.kind, e.value)) ++dropped;
      }
      if (dropped > 0) Log("too many link events waiting; dropped " + std::to_string(dropped));
    }
    if (connect_ && connect_->Done()) OnConnectDone();
    if (late_ && late_->Done()) OnLateDone();
    if (probe_ && probe_->Done()) OnProbeDone();
    delivery_posted_ = false;
    DeliverPending();
  }

  void SendWithoutWaiting(bool key) { late_ = worker_->Post(Call::What::kSetPtt, key); }

  // Lets go of the current instance: its thread ends the subscription and releases it after the
  // calls before. `wait`: up to the answer timeout, unless it is known not to answer.
  void Stop(bool wait) {
    if (!worker_) return;
    mailbox_->Close();
    const bool stuck = late_ || (connect_ && !connect_->Done());
    const std::shared_ptr<Call> stop = worker_->Post(Call::What::kStop);
    if (wait && !stuck) stop->Wait(options_.answer_timeout_ms);
    worker_.reset();
    mailbox_.reset();
    connect_.reset();
    late_.reset();
    probe_.reset();
    state_ = State::kAway;
    hung_said_ = false;
  }

  // What the link program may still have keyed for us; the next instance gets the release.
  void OweRelease() {
    if (keyed_here_ || (late_ && late_->key)) release_owed_ = true;
  }

  // The link program's process, or our connection to it, is gone.
  void Lost(const std::string& why) {
    OweRelease();
    if (keyed_here_) released_on_close_ = true;
    keyed_here_ = false;
    Stop(false);
    if (!attached_) return;
    Status("Link program lost (" + ComLinkName() + "): " + why + "; retrying every " +
           Seconds(options_.retry_ms));
    ::SetTimer(window_, kRetryTimer, static_cast<UINT>(options_.retry_ms), nullptr);
  }

  // The link program does not answer: its instance is given up, its thread left to the call.
  void Abandon(const std::string& why) {
    OweRelease();
    keyed_here_ = false;
    Stop(false);
    Status("Link program not answering (" + ComLinkName() + "): " + why +
           "; abandoned, connecting again");
    ::SetTimer(window_, kRetryTimer, static_cast<UINT>(options_.retry_ms), nullptr);
  }

  // Delivers every waiting event in order (link/link_event_queue.h); what is still waiting goes
  // out through a new post, from the message processing of a transmission a handler starts.
  void DeliverPending() {
    pending_.Deliver(
        sink_, [this] { return attached_; },
        [this] {
          if (delivery_posted_) return;
          delivery_posted_ = true;
          ::PostMessageW(window_, kWakeMessage, 0, 0);
        },
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
  HWND window_ = nullptr;
  bool attached_ = true;
  State state_ = State::kAway;
  std::shared_ptr<Worker> worker_;
  std::shared_ptr<Mailbox> mailbox_;
  std::shared_ptr<Call> connect_;  // the creation under way
  std::shared_ptr<Call> late_;     // a request the window thread stopped waiting for
  std::shared_ptr<Call> probe_;    // the liveness check under way
  LinkEventQueue pending_{options_.max_pending_events};
  bool delivery_posted_ = false;
  bool first_ = true;
  bool wanted_ = false;             // a courtesy holds the key: the last keying was not released
  bool keyed_here_ = false;         // the link program may hold a key for us
  bool released_on_close_ = false;  // an instance that had keyed went away since the last keying
  bool release_owed_ = false;       // the next instance gets a release
  bool closed_said_ = false;
  bool hung_said_ = false;
  int logged_ = 0;
};

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
