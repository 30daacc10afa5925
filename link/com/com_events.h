#pragma once
// The link program's events on their way from COM's threads to the window thread: the sink the
// link program calls, and the mailbox it fills.
//
// Thread rules: the sink is called on any of COM's threads (it lives in the multithreaded
// apartment) and only queues: the link program's event call never waits for the window thread.
// The mailbox takes events from any thread and gives them out on the window thread; neither
// blocks beyond its own short lock.
#include <windows.h>

#include <oaidl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "link/link_event_queue.h"

namespace corvanta::com {

// Posted to the connection's window: events arrived, or a call on an instance's thread ended.
inline constexpr UINT kWakeMessage = WM_APP + 1;

// One instance's events. It outlives the instance's subscription by as long as the connection
// wants: an instance given up on may still deliver what its link program sends before the next
// instance is subscribed.
class Mailbox {
 public:
  struct Event {
    LinkEventQueue::Kind kind;
    std::int16_t value;
  };
  Mailbox(HWND window, std::size_t limit) : window_(window), limit_(limit) {}

  // Any thread: keeps the event and wakes the window thread. False when it had to be dropped.
  bool Put(LinkEventQueue::Kind kind, std::int16_t value);
  // Window thread: the events in the order they came, and how many were dropped since.
  std::vector<Event> Take(std::size_t& dropped);
  // No more events from this instance; those not taken yet are dropped.
  void Close();

 private:
  std::mutex mutex_;
  HWND window_;
  std::size_t limit_;
  std::vector<Event> events_;
  std::size_t dropped_ = 0;
  bool closed_ = false;
};

// The event interface's sink, reference-counted as COM wants it.
class EventSink final : public IDispatch {
 public:
  EventSink(std::shared_ptr<Mailbox> mailbox, DISPID ptt, DISPID tx)
      : mailbox_(std::move(mailbox)), ptt_(ptt), tx_(tx) {
    ++alive_;
  }
  ~EventSink() { --alive_; }
  EventSink(const EventSink&) = delete;
  EventSink& operator=(const EventSink&) = delete;
  // Sinks not freed yet, in the whole process: each holds its instance's mailbox.
  static int Alive() { return alive_.load(); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
  ULONG STDMETHODCALLTYPE Release() override;
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
  static inline std::atomic<int> alive_{0};
  std::atomic<long> refs_{1};
  std::shared_ptr<Mailbox> mailbox_;
  DISPID ptt_;
  DISPID tx_;
};

}  // namespace corvanta::com
