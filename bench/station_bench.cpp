// The program's own figures, one per line: start-up time from the process start to the main
// window shown and filled (the one-second splash included), resident memory after start-up, and
// CPU of the program and the sound server while it monitors the link with nothing happening,
// before the first tone, right after one and once its stream has closed. Run it through
// scripts/null-sink.sh; CORVANTA_LINKSIM names the simulator to connect to, CORVANTA_BENCH_IDLE_S
// the idle measuring time (default 10).
#include <unistd.h>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

#include "audio/audio_state.h"
#include "audio/sdl/sdl_sound.h"
#include "core/main_window.h"
#include "core/platform.h"
#include "core/state.h"
#include "engine/courtesy.h"
#include "link/socket/echolink_object.h"
#include "settings/settings.h"
#include "support/process_stats.h"
#include "support/recording.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_platform.h"
#include "ui/qt/startup.h"

namespace {

namespace rec = corvanta::recording;

// Seconds since this process started, from its start time in /proc (clock ticks since boot).
double SecondsSinceProcessStart() {
  std::ifstream in("/proc/self/stat");
  std::string line;
  std::getline(in, line);
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string f;
  double start_ticks = 0;
  for (int i = 3; i <= 22 && fields >> f; ++i) {
    if (i == 22) start_ticks = std::stod(f);
  }
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  const double boot_s = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
  return boot_s - start_ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Runs the event loop for `ms`, waiting for events as the program does (no busy loop).
void Pump(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

// CPU of the program and the sound server over `seconds` of doing nothing but its event loop.
void IdleCpu(const char* what, int seconds) {
  const char* server_pid = std::getenv("CORVANTA_PULSE_PID");
  const double cpu0 = rec::ProcessCpuSeconds();
  const double server0 = rec::OtherCpuSeconds(server_pid);
  QElapsedTimer clock;
  clock.start();
  Pump(seconds * 1000);
  const double wall = static_cast<double>(clock.elapsed()) / 1000.0;
  std::printf("idle cpu, program, %s: %.2f %% of one core\n", what,
              100.0 * (rec::ProcessCpuSeconds() - cpu0) / wall);
  if (server0 >= 0) {
    std::printf("idle cpu, sound server, %s: %.2f %% of one core\n", what,
                100.0 * (rec::OtherCpuSeconds(server_pid) - server0) / wall);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  if (std::getenv("DISPLAY") == nullptr) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int idle_s = std::getenv("CORVANTA_BENCH_IDLE_S") != nullptr
                         ? std::atoi(std::getenv("CORVANTA_BENCH_IDLE_S"))
                         : 10;
  QTemporaryDir dir;
  const QString endpoint = "unix:" + dir.filePath("link.sock");
  QProcess sim;
  if (const char* linksim = std::getenv("CORVANTA_LINKSIM")) {
    sim.start(linksim, {"--listen", endpoint, "--log", dir.filePath("sim.log")});
    sim.waitForStarted(5000);
    for (int i = 0; i < 200 && !QFile::exists(dir.filePath("link.sock")); ++i) Pump(10);
  }

  corvanta::SdlSoundBackend backend;
  corvanta::Audio.Backend = &backend;
  corvanta::SetSettingsPath(dir.filePath("corvanta.cfg").toStdString());
  corvanta::QtPlatform platform;
  corvanta::ScopedPlatform installed(platform);
  corvanta::LinkOptions options;
  std::string error;
  options.endpoint = *corvanta::wire::ParseEndpoint(endpoint.toStdString(), error);
  corvanta::LinkObjectFactory() = corvanta::SocketLinkFactory(options);

  corvanta::FrmMain* frm = corvanta::Main();
  std::printf("start-up to the main window shown: %.0f ms\n", 1000.0 * SecondsSinceProcessStart());
  Pump(500);
  std::printf("resident memory after start-up: %.1f MB\n", rec::ResidentMb());

  for (int i = 0; i < frm->DeviceCount() && frm->DeviceText() != "Test-Sink"; ++i) {
    frm->SelectDevice(i);
  }
  frm->findChild<QPushButton*>("cmdEchoLink")->click();
  Pump(500);
  IdleCpu("monitoring, before the first tone", idle_s);
  corvanta::cmdTest_Click();
  Pump(500);
  IdleCpu("monitoring, after a transmission", idle_s);
  std::printf("resident memory after a transmission: %.1f MB\n", rec::ResidentMb());
  // The station as it spends most of its life: its stream closed after the silence.
  const std::uint64_t closes = corvanta::Stats().idle_closes;
  for (int i = 0; i < 100 && corvanta::Stats().idle_closes == closes; ++i) Pump(100);
  IdleCpu("monitoring, the stream closed after the transmission", idle_s);

  frm->close();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  if (sim.state() != QProcess::NotRunning) {
    sim.write("quit\n");
    sim.waitForFinished(3000);
  }
  corvanta::ResetAudioState();
  return 0;
}
