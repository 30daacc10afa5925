#include "ui/qt/signals.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <csignal>

#include "core/signal_pipe.h"

namespace corvanta {
namespace {

bool g_seen = false;
bool g_started = false;

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
  const int signal_pipe = OpenSignalPipe({SIGINT, SIGTERM});
  if (signal_pipe < 0) return;
  auto* notifier = new QSocketNotifier(signal_pipe, QSocketNotifier::Read, parent);
  QObject::connect(notifier, &QSocketNotifier::activated, parent, [signal_pipe] {
    DrainSignalPipe(signal_pipe);
    g_seen = true;
    // During start-up the main window is not shown yet and no event loop runs to quit.
    if (g_started) CloseMainOrQuit();
  });
}

void StartupFinished() {
  g_started = true;
  if (g_seen) QTimer::singleShot(0, qApp, CloseMainOrQuit);
}

bool CloseSignalSeen() {
  return g_seen;
}

}  // namespace corvanta
