#include "core/main_window.h"

#include "core/errors.h"

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

}  // namespace corvanta
