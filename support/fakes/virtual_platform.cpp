#include "support/fakes/virtual_platform.h"

#include <algorithm>
#include <stdexcept>

namespace corvanta::testing {

void VirtualPlatform::Sleep(std::int32_t ms) {
  if (ms < 0) throw std::logic_error("negative sleep");
  if (on_sleep) on_sleep(ms);
  sleeps.push_back({now_ms_, ms});
  now_ms_ += ms;
}

void VirtualPlatform::Pause(std::int32_t ms) {
  if (ms < 0) throw std::logic_error("negative pause");
  pauses.push_back({now_ms_, ms});
  now_ms_ += ms;
}

void VirtualPlatform::DoEvents() {
  do_events_at.push_back(now_ms_);
  if (window_messages) window_messages();
  // Actions may script further actions or nest transmissions that call DoEvents again, so take
  // one due action at a time.
  for (;;) {
    auto due = std::find_if(script_.begin(), script_.end(),
                            [this](const Scripted& s) { return s.at_ms <= now_ms_; });
    if (due == script_.end()) return;
    std::function<void()> action = std::move(due->action);
    script_.erase(due);
    action();
  }
}

void VirtualPlatform::MessageBox(const std::string& text, const std::string& title, MsgIcon icon) {
  messages.push_back({now_ms_, text, title, icon});
  if (on_message) on_message(messages.back());
}

void VirtualPlatform::At(std::int64_t at_ms, std::function<void()> action) {
  // Kept in time order; equal times keep the order they were scripted in.
  auto pos = std::upper_bound(script_.begin(), script_.end(), at_ms,
                              [](std::int64_t t, const Scripted& s) { return t < s.at_ms; });
  script_.insert(pos, {at_ms, std::move(action)});
}

}  // namespace corvanta::testing
