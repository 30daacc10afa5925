#pragma once
// One connection to the sound server for the whole program: libpulse's threaded mainloop, whose
// thread runs every callback, and a context made anew when the last one failed (the server was
// restarted or went away).
//
// Thread rules: the mainloop's lock guards everything here and in the streams made on it; hold a
// LoopLock around any call. Callbacks run on the mainloop's thread with the lock held. Waits
// (WaitFor) release the lock while they wait, at most their limit; nothing else blocks.
#include <pulse/pulseaudio.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace corvanta {

class PulseBuffer;

struct PulseSink {
  std::string name;         // what a stream connects to
  std::string description;  // what the operator sees
};

class PulseSession {
 public:
  // Starts the mainloop's thread; connects nothing yet. Throws AudioError when it cannot.
  PulseSession();
  ~PulseSession();
  PulseSession(const PulseSession&) = delete;
  PulseSession& operator=(const PulseSession&) = delete;

  pa_threaded_mainloop* loop() const { return loop_; }

  // The rest under the lock.
  // Whether the connection is ready; when it is not, a new one is made and waited for (at most
  // limit_ms). False, with `error`, when the server does not answer.
  bool Reach(int limit_ms, std::string& error);
  bool Ready() const;
  pa_context* context() const { return context_; }
  // Counts the connections made: a stream made on an earlier one is dead.
  std::uint64_t generation() const { return generation_; }
  // Whether the server is PipeWire's pulse server (asked once per connection).
  bool pipewire() const { return pipewire_; }
  // The server's sinks, in its order; empty when it does not answer within limit_ms.
  std::vector<PulseSink> Sinks(int limit_ms);
  // Waits (releasing the lock) until `done` holds, a callback signals and it holds, or limit_ms
  // have passed; returns `done()`.
  bool WaitFor(const std::function<bool()>& done, int limit_ms);
  // Wakes whoever waits in WaitFor (from a callback).
  void Signal() { pa_threaded_mainloop_signal(loop_, 0); }
  // Runs `tick` on the mainloop's thread every period_ms until the session ends.
  void Every(int period_ms, std::function<void()> tick);

  // The buffers playing through this connection (the sound objects' own bookkeeping).
  std::vector<PulseBuffer*> buffers;

 private:
  static void OnContextState(pa_context* context, void* self);
  static void OnTick(pa_mainloop_api* api, pa_time_event* event, const struct timeval*, void* self);
  void Drop();
  void AskServerName(int limit_ms);

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  std::uint64_t generation_ = 0;
  bool pipewire_ = false;
  std::function<void()> tick_;
  int tick_ms_ = 0;
  pa_time_event* tick_event_ = nullptr;
};

// Holds the mainloop's lock for a scope.
class LoopLock {
 public:
  explicit LoopLock(const PulseSession& session) : loop_(session.loop()) {
    pa_threaded_mainloop_lock(loop_);
  }
  ~LoopLock() { pa_threaded_mainloop_unlock(loop_); }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  pa_threaded_mainloop* loop_;
};

}  // namespace corvanta
