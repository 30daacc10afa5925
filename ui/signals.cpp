#include "ui/signals.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <csignal>

#include <unistd.h>

namespace corvanta {
namespace {

int g_pipe[2] = {-1, -1};
bool g_seen = false;
bool g_started = false;

void OnSignal(int) {
  const char byte = 1;
  (void)!write(g_pipe[1], &byte, 1);
}

void CloseMainOrQuit() {
  bool closing = false;
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->objectName() == "frmMain" && w->isVisible()) {
      w->close();
      closing = true;
    }
  }
  if (!closing) QCoreApplication::quit();
}

}  // namespace

void CloseOnSignals(QObject* parent) {
  if (pipe(g_pipe) != 0) return;
  auto* notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, parent);
  QObject::connect(notifier, &QSocketNotifier::activated, parent, [] {
    char byte = 0;
    (void)!read(g_pipe[0], &byte, 1);
    g_seen = true;
    // During start-up the main window is not shown yet and no event loop runs to quit.
    if (g_started) CloseMainOrQuit();
  });
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void StartupFinished() {
  g_started = true;
  if (g_seen) QTimer::singleShot(0, qApp, CloseMainOrQuit);
}

bool CloseSignalSeen() {
  return g_seen;
}

}  // namespace corvanta
