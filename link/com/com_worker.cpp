#include "link/com/com_worker.h"

#include <oleauto.h>

#include <thread>
#include <utility>

#include "link/com/com_results.h"

namespace corvanta::com {

namespace {

ULONGLONG SystemTicks() {
  return ::GetTickCount64();
}

std::atomic<int> g_releases_on_the_way{0};
std::atomic<int> g_retired_running{0};

template <typename T>
void ReleaseAndClear(T*& p) {
  if (p != nullptr) p->Release();
  p = nullptr;
}

bool IdsIn(ITypeLib* library, DISPID& ptt, DISPID& tx) {
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

}  // namespace

TickClock& CallClock() {
  static TickClock clock = &SystemTicks;
  return clock;
}

int ReleasesOnTheWay() {
  return g_releases_on_the_way.load();
}

int RetiredStillRunning() {
  return g_retired_running.load();
}

Call::Call(What w, bool k)
    : what(w),
      key(k),
      started(CallClock()()),
      event(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

Call::~Call() {
  ::CloseHandle(event);
}

bool Call::WaitUntilAge(int deadline_ms) const {
  if (Done()) return true;
  const long long left =
      static_cast<long long>(deadline_ms) - static_cast<long long>(CallClock()() - started);
  return WaitFor(static_cast<int>(left < 0 ? 0 : left));
}

bool Call::WaitFor(int ms) const {
  if (Done()) return true;
  if (ms <= 0) return false;
  return ::WaitForSingleObject(event, static_cast<DWORD>(ms)) == WAIT_OBJECT_0;
}

void Call::Finish(HRESULT hr) {
  result = hr;
  finished = CallClock()();
  done.store(true, std::memory_order_release);
  ::SetEvent(event);
}

std::shared_ptr<Worker> Worker::Start(HWND window, std::shared_ptr<Mailbox> mailbox) {
  std::shared_ptr<Worker> worker(new Worker(window, std::move(mailbox)));
  std::thread([worker] { worker->Run(); }).detach();
  return worker;
}

std::shared_ptr<Call> Worker::Post(Call::What what, bool key) {
  auto call = std::make_shared<Call>(what, key);
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (retired_) {
      call->Finish(kDropped);
      return call;
    }
    queue_.push_back(call);
  }
  wake_.notify_one();
  return call;
}

std::shared_ptr<Call> Worker::PostOwedRelease() {
  auto call = std::make_shared<Call>(Call::What::kSetPtt, false);
  call->owed = true;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (retired_) {
      call->Finish(kDropped);
      return call;
    }
    ++g_releases_on_the_way;
    queue_.push_back(call);
  }
  wake_.notify_one();
  return call;
}

std::shared_ptr<Call> Worker::Retire() {
  auto stop = std::make_shared<Call>(Call::What::kStop, false);
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (retired_) {
      stop->Finish(kDropped);
      return stop;
    }
    retired_ = true;
    ++g_retired_running;  // until its thread has run the stop queued below
    for (const std::shared_ptr<Call>& call : queue_) call->Finish(kDropped);
    queue_.clear();
    if (may_be_keyed_) {
      auto release = std::make_shared<Call>(Call::What::kSetPtt, false);
      release->owed = true;
      ++g_releases_on_the_way;
      queue_.push_back(std::move(release));
    }
    queue_.push_back(stop);
  }
  wake_.notify_one();
  return stop;
}

bool Worker::MayBeKeyed() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return may_be_keyed_;
}

void Worker::Run() {
  ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  for (bool stop = false; !stop;) {
    std::shared_ptr<Call> call;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return !queue_.empty(); });
      call = std::move(queue_.front());
      queue_.pop_front();
      // From the moment it is started, a keying may key whatever its answer says.
      if (call->what == Call::What::kSetPtt && call->key) may_be_keyed_ = true;
    }
    Execute(*call);
    if (call->what == Call::What::kSetPtt && !call->key && SUCCEEDED(call->result)) {
      const std::lock_guard<std::mutex> lock(mutex_);
      may_be_keyed_ = false;
    }
    stop = call->what == Call::What::kStop;
    const bool owed = call->owed;
    call->Finish(call->result);
    if (owed) --g_releases_on_the_way;
    if (stop) --g_retired_running;
    ::PostMessageW(window_, kWakeMessage, 0, 0);
  }
  ::CoUninitialize();
}

void Worker::Execute(Call& call) {
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

HRESULT Worker::Connect(Call& call) {
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
  if (FAILED(object_->QueryInterface(IID_IEchoLinkAutomation, reinterpret_cast<void**>(&dual_)))) {
    dual_ = nullptr;
    wchar_t name[] = L"SetPTT";
    LPOLESTR names[] = {name};
    hr = object_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &set_ptt_id_);
    if (FAILED(hr)) {
      call.error =
          "it offers SetPTT neither through its interface nor through IDispatch: " + ResultText(hr);
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
  hr = object_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
  if (SUCCEEDED(hr)) {
    hr = container->FindConnectionPoint(DIID_IEchoLinkAutomationEvents, &point_);
    container->Release();
  }
  if (FAILED(hr)) {
    point_ = nullptr;
    call.error = "it offers no PTT and TX events: " + ResultText(hr);
    return hr;
  }
  // The sink is called back from the link program's process. A 32-bit link program's events
  // are registered in the 32-bit view of the registry only, where a 64-bit client's COM does
  // not look for how to marshal them: the automation marshaler serves every dispinterface, so
  // this process names it for the event interface before subscribing.
  static const bool marshaler_named = [] {
    constexpr CLSID kPsDispatch = {
        0x00020420, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    return SUCCEEDED(::CoRegisterPSClsid(DIID_IEchoLinkAutomationEvents, kPsDispatch));
  }();
  (void)marshaler_named;
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
bool Worker::EventIds(DISPID& ptt, DISPID& tx) {
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

HRESULT Worker::SetPtt(bool key) {
  const VARIANT_BOOL value = key ? VARIANT_TRUE : VARIANT_FALSE;
  if (dual_ != nullptr) return dual_->SetPTT(value);  // the thirteenth entry of its table
  if (object_ == nullptr) return E_UNEXPECTED;
  VARIANTARG arg;
  ::VariantInit(&arg);
  arg.vt = VT_BOOL;
  arg.boolVal = value;
  DISPPARAMS params{&arg, nullptr, 1, 0};
  EXCEPINFO exception{};
  HRESULT hr = object_->Invoke(set_ptt_id_, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                               nullptr, &exception, nullptr);
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
void Worker::Release() {
  if (point_ != nullptr && cookie_ != 0) point_->Unadvise(cookie_);
  cookie_ = 0;
  ReleaseAndClear(point_);
  ReleaseAndClear(dual_);
  ReleaseAndClear(object_);
  // A link program that ended without letting go of the sink (killed, say) leaves COM here
  // holding the sink for it. Windows lets go once its garbage collection finds the program gone;
  // wine only when the apartment ends, which another thread in it (an instance abandoned to a
  // hung call) puts off. Cutting the sink's connections off frees it, its mailbox and COM's stub
  // now; it is local to this process and does nothing when the link program let go itself.
  if (sink_ != nullptr) ::CoDisconnectObject(sink_, 0);
  ReleaseAndClear(sink_);
}

}  // namespace corvanta::com
