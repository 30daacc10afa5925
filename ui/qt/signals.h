#pragma once
// SIGINT and SIGTERM close the main window as its close box does: a transmission in progress
// ends and releases the key before the program goes. The handler only writes a byte to a pipe;
// the window thread reads it through the event loop.
class QObject;

namespace corvanta {

// Installs the handlers. Window thread, once, before start-up.
void CloseOnSignals(QObject* parent);

// Start-up has returned. A signal that came while it ran (during the splash, when there is no
// main window to close yet) is acted on now, from the event loop: it is never lost.
void StartupFinished();

// Whether a closing signal has arrived in this run.
bool CloseSignalSeen();

}  // namespace corvanta
