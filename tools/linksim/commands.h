#pragma once
// The commands that drive the simulator: line commands from a script and standard input, run
// one after the other, and single keys from a terminal, acted on at once.
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "tools/linksim/simulator.h"

namespace corvanta::linksim {

class CommandRunner : public QObject {
  Q_OBJECT

 public:
  // `quit` ends the program; it is called at most once.
  CommandRunner(Simulator& sim, Log& log, std::function<void()> quit);

  // Queues line commands without running them.
  void Load(std::vector<std::string> lines);
  // Queues a line command behind the ones not yet run, and runs what can run now.
  void Append(std::string line);
  // A key from a person at the terminal.
  void Key(char key);
  // Runs queued commands until one has to wait or none is left.
  void Pump();

  // Ends the program, as the quit command does.
  void Quit();

  bool timed_out() const { return timed_out_; }

 private:
  enum class Wait { kNone, kSleep, kConnect, kSetPtt };

  void Execute(const std::string& line);
  void SendEvent(const char* name, bool on);
  void StartWait(Wait wait, long timeout_ms);
  void EndWait();
  void OnTimer();

  Simulator& sim_;
  Log& log_;
  std::function<void()> quit_;
  std::deque<std::string> queue_;
  Wait wait_ = Wait::kNone;
  bool wait_key_ = false;
  long wait_timeout_ms_ = 0;
  QTimer timer_;
  bool pumping_ = false;
  bool quitting_ = false;
  bool timed_out_ = false;
};

// Feeds standard input to a CommandRunner: whole lines, or single keys when it is a terminal.
// At the end of input it stops reading; the program goes on.
class StdinReader : public QObject {
  Q_OBJECT

 public:
  StdinReader(CommandRunner& runner, bool keys);

 private:
  void OnReadable();

  CommandRunner& runner_;
  bool keys_;
  std::string partial_;
  bool too_long_ = false;
  QSocketNotifier notifier_;
};

// Puts the terminal on standard input into single-key mode without echo. Returns false when
// standard input is no terminal of ours (not one, or we run in the background).
bool EnterKeyMode();
// Puts the terminal back as it was; safe to call any number of times.
void RestoreTerminal();

}  // namespace corvanta::linksim
