#pragma once
// Platform services on a virtual clock: Sleep advances time at once and is recorded; DoEvents runs
// the actions scripted for virtual times that have been reached, as pending window messages, and
// a real window's messages where a test has one. The one platform fake of every test.
// Window thread only, like the services it stands for.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/platform.h"

namespace corvanta::testing {

class VirtualPlatform final : public Platform {
 public:
  struct SleepCall {
    std::int64_t at_ms;
    std::int32_t ms;
  };
  struct Message {
    std::int64_t at_ms;
    std::string text;
    std::string title;
    MsgIcon icon;
  };

  void Sleep(std::int32_t ms) override;
  void Pause(std::int32_t ms) override;
  void DoEvents() override;
  std::int64_t NowMs() override { return now_ms_; }
  void MessageBox(const std::string& text, const std::string& title, MsgIcon icon) override;

  // Runs `action` at the first DoEvents at or after virtual time `at_ms`.
  void At(std::int64_t at_ms, std::function<void()> action);
  void Advance(std::int64_t ms) { now_ms_ += ms; }

  std::vector<SleepCall> sleeps;
  std::vector<SleepCall> pauses;  // waits outside the timeline, kept apart from the sleeps
  std::vector<std::int64_t> do_events_at;
  std::vector<Message> messages;
  // Called at the start of every Sleep, before time advances.
  std::function<void(std::int32_t)> on_sleep;
  // Called when a message box is shown (the operator's answer takes no time).
  std::function<void(const Message&)> on_message;
  // Run first at every DoEvents: a real window's pending messages, for tests with one.
  std::function<void()> window_messages;

 private:
  struct Scripted {
    std::int64_t at_ms;
    std::function<void()> action;
  };
  std::int64_t now_ms_ = 0;
  std::vector<Scripted> script_;
};

}  // namespace corvanta::testing
