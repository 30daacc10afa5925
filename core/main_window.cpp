#include "core/main_window.h"

#include <exception>
#include <iostream>
#include <string>

#include "core/errors.h"
#include "core/station_log.h"

namespace corvanta {
namespace {
MainWindow* g_main_window = nullptr;
}

MainWindow* MainWindowRef() {
  return g_main_window;
}
void SetMainWindowRef(MainWindow* window) {
  g_main_window = window;
}

MainWindow& Window() {
  if (g_main_window == nullptr) throw WindowError("The main window is closed");
  return *g_main_window;
}

void Guarded(const std::function<void()>& handler) {
  if (!handler) return;
  try {
    handler();
  } catch (const std::exception& e) {
    if (MainWindow* w = MainWindowRef()) {
      w->SetStatusText(std::string("Error: ") + e.what());
      LogLine(std::string("Error: ") + e.what());
    } else {
      std::cerr << "corvanta: " << e.what() << '\n';
    }
  }
}

}  // namespace corvanta
