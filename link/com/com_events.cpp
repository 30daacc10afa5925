#include "link/com/com_events.h"

#include <oleauto.h>

#include <utility>

#include "link/com/echolink.h"

namespace corvanta::com {

bool Mailbox::Put(LinkEventQueue::Kind kind, std::int16_t value) {
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

std::vector<Mailbox::Event> Mailbox::Take(std::size_t& dropped) {
  const std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Event> out;
  out.swap(events_);
  dropped = dropped_;
  dropped_ = 0;
  return out;
}

void Mailbox::Close() {
  const std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  events_.clear();
}

HRESULT STDMETHODCALLTYPE EventSink::QueryInterface(REFIID iid, void** out) {
  if (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID_IEchoLinkAutomationEvents) {
    *out = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE EventSink::Release() {
  const long left = --refs_;
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

HRESULT STDMETHODCALLTYPE EventSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params,
                                            VARIANT*, EXCEPINFO*, UINT*) {
  if (id != ptt_ && id != tx_) return S_OK;  // not subscribed
  if (params == nullptr || params->cArgs < 1) return DISP_E_BADPARAMCOUNT;
  VARIANT value;
  ::VariantInit(&value);
  // Any non-zero argument counts as true, whatever type the link program sends it in (one that
  // does not fit a 16-bit integer is refused, and the link program told so).
  if (FAILED(::VariantChangeType(&value, &params->rgvarg[params->cArgs - 1], 0, VT_I2))) {
    return DISP_E_TYPEMISMATCH;
  }
  mailbox_->Put(id == ptt_ ? LinkEventQueue::Kind::kPtt : LinkEventQueue::Kind::kTx, value.iVal);
  return S_OK;
}

}  // namespace corvanta::com
