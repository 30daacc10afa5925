#include "audio/sdl/pulse_server.h"

#include <pulse/pulseaudio.h>

#include <chrono>

namespace corvanta {
namespace {

struct Probe {
  bool answered = false;
  bool has_output = false;
};

void OnServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
  auto* probe = static_cast<Probe*>(userdata);
  probe->answered = true;
  probe->has_output =
      info != nullptr && info->default_sink_name != nullptr && info->default_sink_name[0] != '\0';
}

}  // namespace

bool PulseServerHasOutput(int limit_ms) {
  pa_mainloop* loop = pa_mainloop_new();
  if (loop == nullptr) return false;
  pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "Corvanta");
  Probe probe;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  // The server named by the environment or the client configuration, never one spawned for us.
  if (context != nullptr &&
      pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
    pa_operation* asking = nullptr;
    while (!probe.answered && std::chrono::steady_clock::now() < give_up) {
      const pa_context_state_t state = pa_context_get_state(context);
      if (!PA_CONTEXT_IS_GOOD(state)) break;
      if (state == PA_CONTEXT_READY && asking == nullptr) {
        asking = pa_context_get_server_info(context, &OnServerInfo, &probe);
        if (asking == nullptr) break;
      }
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
          give_up - std::chrono::steady_clock::now());
      if (pa_mainloop_prepare(loop, static_cast<int>(std::max<long long>(left.count(), 0))) < 0 ||
          pa_mainloop_poll(loop) < 0 || pa_mainloop_dispatch(loop) < 0) {
        break;
      }
    }
    if (asking != nullptr) {
      pa_operation_cancel(asking);
      pa_operation_unref(asking);
    }
    pa_context_disconnect(context);
  }
  if (context != nullptr) pa_context_unref(context);
  pa_mainloop_free(loop);
  return probe.has_output;
}

}  // namespace corvanta
