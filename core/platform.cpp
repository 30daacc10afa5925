#include "core/platform.h"

#include <chrono>
#include <iostream>
#include <set>
#include <thread>
#include <utility>

#include "core/main_window.h"
#include "core/state.h"
#include "core/transmissions.h"

namespace corvanta {
namespace {

StdPlatform& StdServices() {
  static StdPlatform instance;
  return instance;
}

Platform* g_installed = nullptr;

// Texts of the boxes open now (nested: a box's own message processing can raise another).
std::set<std::string>& OpenBoxes() {
  static std::set<std::string> open;
  return open;
}

void ShowBox(const std::string& text, MsgIcon icon) {
  if (OpenBoxes().count(text) > 0) return;
  const auto it = OpenBoxes().insert(text).first;
  try {
    Services().MessageBox(text, kAppTitle, icon);
  } catch (...) {
    OpenBoxes().erase(it);
    throw;
  }
  OpenBoxes().erase(it);
}

}  // namespace

Platform& Services() {
  return g_installed != nullptr ? *g_installed : StdServices();
}

Platform* InstallPlatform(Platform* p) {
  Platform* previous = g_installed;
  g_installed = p;
  return previous;
}

void MsgBox(const std::string& text, MsgIcon icon) {
  if (TransmissionDepth() > 0) {
    if (MainWindow* w = MainWindowRef()) w->SetStatusText(text);
    WhenIdle([text, icon] { ShowBox(text, icon); }, "box:" + text);
    return;
  }
  ShowBox(text, icon);
}

namespace {

std::int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SleepUntilNs(std::int64_t deadline_ns) {
  std::this_thread::sleep_until(
      std::chrono::steady_clock::time_point(std::chrono::nanoseconds(deadline_ns)));
}

}  // namespace

std::int64_t Platform::EdgeInstantNs() {
  return SteadyNs();
}

void Platform::Pause(std::int32_t ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

StdPlatform::StdPlatform() : deadlines_(SteadyNs, SleepUntilNs) {}

StdPlatform::StdPlatform(std::function<std::int64_t()> now_ns,
                         std::function<void(std::int64_t)> sleep_until_ns)
    : deadlines_(std::move(now_ns), std::move(sleep_until_ns)) {}

void StdPlatform::Sleep(std::int32_t ms) {
  deadlines_.Wait(ms);
}

std::int64_t StdPlatform::NowMs() {
  return deadlines_.Now() / 1'000'000;
}

void StdPlatform::MessageBox(const std::string& text, const std::string& title, MsgIcon) {
  std::cerr << title << ": " << text << '\n';
}

}  // namespace corvanta
