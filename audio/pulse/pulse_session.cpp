#include "audio/pulse/pulse_session.h"

#include <sys/time.h>

#include <cstring>

#include <utility>

#include "core/errors.h"

namespace corvanta {
namespace {

struct timeval In(int ms) {
  struct timeval when {};
  pa_timeval_add(pa_gettimeofday(&when), static_cast<pa_usec_t>(ms) * PA_USEC_PER_MSEC);
  return when;
}

void OnExpiry(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* flag) {
  auto* expired = static_cast<std::pair<bool, pa_threaded_mainloop*>*>(flag);
  expired->first = true;
  pa_threaded_mainloop_signal(expired->second, 0);
}

}  // namespace

PulseSession::PulseSession() {
  loop_ = pa_threaded_mainloop_new();
  if (loop_ == nullptr || pa_threaded_mainloop_start(loop_) < 0) {
    if (loop_ != nullptr) pa_threaded_mainloop_free(loop_);
    throw AudioError("No sound system: the sound server's client loop did not start");
  }
}

PulseSession::~PulseSession() {
  {
    LoopLock lock(*this);
    if (tick_event_ != nullptr) pa_threaded_mainloop_get_api(loop_)->time_free(tick_event_);
    tick_event_ = nullptr;
    Drop();
  }
  pa_threaded_mainloop_stop(loop_);
  pa_threaded_mainloop_free(loop_);
}

void PulseSession::Drop() {
  if (context_ == nullptr) return;
  pa_context_set_state_callback(context_, nullptr, nullptr);
  pa_context_disconnect(context_);
  pa_context_unref(context_);
  context_ = nullptr;
}

void PulseSession::OnContextState(pa_context*, void* self) {
  static_cast<PulseSession*>(self)->Signal();
}

bool PulseSession::Ready() const {
  return context_ != nullptr && pa_context_get_state(context_) == PA_CONTEXT_READY;
}

bool PulseSession::Reach(int limit_ms, std::string& error) {
  if (Ready()) return true;
  Drop();
  pa_proplist* props = pa_proplist_new();
  pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Corvanta");
  pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "corvanta");
  context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_), "Corvanta", props);
  pa_proplist_free(props);
  if (context_ == nullptr) {
    error = "the sound server's client could not be made";
    return false;
  }
  ++generation_;
  pa_context_set_state_callback(context_, &OnContextState, this);
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    error = pa_strerror(pa_context_errno(context_));
    Drop();
    return false;
  }
  const bool settled = WaitFor(
      [this] { return !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)) || Ready(); }, limit_ms);
  if (Ready()) {
    AskServerName(limit_ms);
    return true;
  }
  error = settled ? pa_strerror(pa_context_errno(context_))
                  : "the sound server did not answer within " + std::to_string(limit_ms) + " ms";
  Drop();
  return false;
}

void PulseSession::AskServerName(int limit_ms) {
  struct Asking {
    PulseSession* session;
    bool done = false;
  } asking{this, false};
  pipewire_ = false;
  pa_operation* op = pa_context_get_server_info(
      context_,
      [](pa_context*, const pa_server_info* info, void* data) {
        auto* a = static_cast<Asking*>(data);
        a->session->pipewire_ = info != nullptr && info->server_name != nullptr &&
                                std::strstr(info->server_name, "PipeWire") != nullptr;
        a->done = true;
        a->session->Signal();
      },
      &asking);
  if (op == nullptr) return;
  WaitFor([&] { return asking.done || !Ready(); }, limit_ms);
  if (!asking.done) pa_operation_cancel(op);
  pa_operation_unref(op);
}

std::vector<PulseSink> PulseSession::Sinks(int limit_ms) {
  struct Listing {
    PulseSession* session;
    std::vector<PulseSink> sinks;
    bool done = false;
  } listing{this, {}, false};
  if (!Ready()) return {};
  pa_operation* op = pa_context_get_sink_info_list(
      context_,
      [](pa_context*, const pa_sink_info* info, int eol, void* data) {
        auto* l = static_cast<Listing*>(data);
        if (eol != 0 || info == nullptr) {
          l->done = true;
          l->session->Signal();
          return;
        }
        l->sinks.push_back({info->name != nullptr ? info->name : "",
                            info->description != nullptr ? info->description : ""});
      },
      &listing);
  if (op == nullptr) return {};
  const bool done = WaitFor([&] { return listing.done || !Ready(); }, limit_ms);
  // A listing cut short must not write into this frame once it has gone.
  if (!listing.done) pa_operation_cancel(op);
  pa_operation_unref(op);
  return done && listing.done ? listing.sinks : std::vector<PulseSink>{};
}

bool PulseSession::WaitFor(const std::function<bool()>& done, int limit_ms) {
  if (done()) return true;
  std::pair<bool, pa_threaded_mainloop*> expired{false, loop_};
  const struct timeval when = In(limit_ms);
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
  pa_time_event* timer = api->time_new(api, &when, &OnExpiry, &expired);
  while (!done() && !expired.first) pa_threaded_mainloop_wait(loop_);
  api->time_free(timer);
  return done();
}

void PulseSession::Every(int period_ms, std::function<void()> tick) {
  tick_ = std::move(tick);
  tick_ms_ = period_ms;
  const struct timeval when = In(period_ms);
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
  tick_event_ = api->time_new(api, &when, &OnTick, this);
}

void PulseSession::OnTick(pa_mainloop_api* api, pa_time_event* event, const struct timeval*,
                          void* data) {
  auto* self = static_cast<PulseSession*>(data);
  self->tick_();
  const struct timeval when = In(self->tick_ms_);
  api->time_restart(event, &when);
}

}  // namespace corvanta
