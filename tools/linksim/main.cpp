// corvanta-linksim: plays the link program, or hamlib's rigctld, for Corvanta's tests and its
// first-run demo.
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core/signal_pipe.h"
#include "link/socket/wire.h"
#include "tools/linksim/commands.h"
#include "tools/linksim/options.h"
#include "tools/linksim/simulator.h"

namespace {

using namespace corvanta;
using namespace corvanta::linksim;

constexpr int kExitCannotListen = 1;
constexpr int kExitUsage = 2;
constexpr int kExitTimedOut = 3;

int Usage(const std::string& error) {
  std::fprintf(stderr, "corvanta-linksim: %s\nTry corvanta-linksim --help.\n", error.c_str());
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  const auto options = ParseOptions(std::vector<std::string>(argv + 1, argv + argc), error);
  if (!options) return Usage(error);
  if (options->help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (options->version) {
    std::puts("corvanta-linksim " CORVANTA_VERSION);
    return 0;
  }

  std::string endpoint_text = options->listen;
  if (endpoint_text.empty()) {
    endpoint_text = options->rigctld
                        ? std::string("rigctld:127.0.0.1")
                        : wire::DefaultEndpoint(std::getenv("XDG_RUNTIME_DIR"), ::getuid());
  }
  auto endpoint = wire::ParseEndpoint(endpoint_text, error);
  if (!endpoint) return Usage(error);
  const bool rigctld = options->rigctld || endpoint->type == wire::Endpoint::Type::kRigctld;
  if (rigctld && endpoint->type == wire::Endpoint::Type::kUnix) {
    return Usage(
        "rigctld listens on TCP: the endpoint must be rigctld:HOST[:PORT] or tcp:HOST:PORT");
  }

  std::vector<std::string> script;
  if (!options->script.empty() && !ReadLines(options->script, script)) {
    return Usage("cannot read the script " + options->script);
  }
  std::FILE* log_file = stdout;
  if (!options->log.empty()) {
    log_file = std::fopen(options->log.c_str(), "we");
    if (log_file == nullptr) return Usage("cannot write the log " + options->log);
  }

  std::signal(SIGPIPE, SIG_IGN);
  const int signal_pipe = corvanta::OpenSignalPipe({SIGINT, SIGTERM, SIGHUP});
  if (signal_pipe < 0) {
    std::perror("corvanta-linksim: pipe");
    return EXIT_FAILURE;
  }

  QCoreApplication app(argc, argv);
  Log log(log_file);
  Simulator sim(log, {options->err, options->silent, options->late_ms, options->drop_after},
                rigctld);
  switch (sim.Listen(*endpoint, error)) {
    case Simulator::ListenResult::kOk:
      break;
    case Simulator::ListenResult::kBadEndpoint:
      return Usage(error);
    case Simulator::ListenResult::kFailed:
      std::fprintf(stderr, "corvanta-linksim: %s\n", error.c_str());
      return kExitCannotListen;
  }

  bool stopped = false;
  CommandRunner* runner_ptr = nullptr;
  auto stop = [&] {
    if (stopped) return;
    stopped = true;
    log.Write("QUIT");
    sim.Close();
    RestoreTerminal();
    app.exit(runner_ptr->timed_out() ? kExitTimedOut : 0);
  };
  CommandRunner runner(sim, log, stop);
  runner_ptr = &runner;

  QSocketNotifier signal_notifier(signal_pipe, QSocketNotifier::Read);
  QObject::connect(&signal_notifier, &QSocketNotifier::activated, [&] {
    corvanta::DrainSignalPipe(signal_pipe);
    runner.Quit();
  });

  // A terminal of ours gives single keys. One we do not own (running in the background) is
  // left alone: reading it would stop this process.
  const bool keys = EnterKeyMode();
  std::unique_ptr<StdinReader> input;
  if (keys) {
    std::fputs(rigctld ? "keys: P/p PTT on/off, D/d squelch open/closed, q quit\n"
                       : "keys: P/p PTT on/off, T/t TX on/off, q quit\n",
               stderr);
  }
  if (keys || ::isatty(STDIN_FILENO) == 0) input = std::make_unique<StdinReader>(runner, keys);

  // Commands run once the event loop does, so that quit can end it.
  runner.Load(std::move(script));
  QTimer::singleShot(0, &runner, &CommandRunner::Pump);
  const int status = app.exec();
  sim.Close();
  RestoreTerminal();
  return status;
}
