#include "core/platform.h"

#include <chrono>
#include <iostream>
#include <thread>

#include "core/state.h"

namespace corvanta {
namespace {

StdPlatform& StdServices() {
  static StdPlatform instance;
  return instance;
}

Platform* g_installed = nullptr;

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
  Services().MessageBox(text, kAppTitle, icon);
}

void StdPlatform::Sleep(std::int32_t ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::int64_t StdPlatform::NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void StdPlatform::MessageBox(const std::string& text, const std::string& title, MsgIcon) {
  std::cerr << title << ": " << text << '\n';
}

}  // namespace corvanta
