// Soak: the real window, the sound output (libpulse as the program chooses, or SDL with
// CORVANTA_SOAK_BACKEND=sdl) into the private null sink and corvanta-linksim drive
// thousands of link events (bursts, nesting, Test clicks) with random link faults, once as the
// link program on its socket and once as rigctld with a radio's squelch. After every step, once
// the program is idle, nothing may be left set: no flag, no indicator picture, and the
// simulator's transmitter released. Whenever a fault clears, the next courtesy must be whole:
// keyed for its nominal time, released, and heard. Resident memory must stay flat.
//
// Sleeps run ten times faster than asked, so the pauses and symbols keep their order and nesting
// but thousands of transmissions fit in a few minutes. CORVANTA_SOAK_SECONDS bounds the socket
// link's run (default 180); the radio's run lasts a third of that. CORVANTA_SOAK_SEED picks the
// random sequence.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "audio/audio_state.h"
#include "audio/pulse/pulse_sound.h"
#include "audio/sdl/sdl_sound.h"
#include "core/main_window.h"
#include "core/platform.h"
#include "core/state.h"
#include "engine/courtesy.h"
#include "link/rigctld/rigctld_link.h"
#include "link/socket/echolink_object.h"
#include "settings/settings.h"
#include "support/fakes/virtual_platform.h"
#include "support/process_stats.h"
#include "support/recording.h"
#include "support/usage_trend.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_platform.h"
#include "ui/qt/startup.h"

namespace corvanta {
namespace {

void Pump(int ms) {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// The simulator's log, read as it grows: the last transmitter state and counts of records.
class SimLog {
 public:
  explicit SimLog(QString path) : path_(std::move(path)) {}
  void Update() {
    QFile f(path_);
    if (!f.open(QIODevice::ReadOnly) || !f.seek(offset_)) return;
    const QByteArray bytes = f.readAll();
    const qsizetype complete = bytes.lastIndexOf('\n') + 1;
    offset_ += complete;
    std::istringstream in(bytes.left(complete).toStdString());
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      double ms = 0;
      std::string record, value;
      if (!(fields >> ms >> record)) continue;
      ++counts[record];
      if (record == "SETPTT" && fields >> value) keyings.push_back({ms, value == "1"});
      if (record == "TRANSMITTER" && fields >> value) keyed = value == "1";
      if (record == "RELEASE") keyed = false;
      // rigctld: the radio's PTT itself, whoever changed it.
      if (record == "PTT" && fields >> value) {
        keyings.push_back({ms, value == "1"});
        keyed = value == "1";
      }
    }
  }
  bool keyed = false;
  std::map<std::string, long> counts;
  struct Keying {
    double ms;
    bool key;
  };
  std::vector<Keying> keyings;

 private:
  QString path_;
  qint64 offset_ = 0;
};

struct Fault {
  const char* name;
  const char* commands;
};

// What differs between the peers the soak drives: the simulator's part, its events and faults.
struct Peer {
  const char* name;
  bool rigctld;
  const char* status_prefix;        // of the link's connection states
  std::vector<const char*> events;  // each a few simulator commands
  const char* before_test_click;    // an event that a Test click lands inside
  std::vector<Fault> faults;
  const char* clear;         // ends every fault
  const char* one_courtesy;  // makes one RX courtesy once connected
  int settle_ms;             // after a fault clears, for answers still on the way
  double release_lag_ms;     // from the release request to the logged release
};

const Peer kLinkProgram{"link program",
                        false,
                        "Link program ",
                        {"ptt 0\n", "ptt 1\n", "tx 0\n", "tx 1\n"},
                        "tx 0\n",
                        // A drop comes in the middle of the transmission the event starts.
                        {{"refusing", "err on\n"},
                         {"not answering", "silent on\n"},
                         {"answering 150 ms late", "late 150\n"},
                         {"dropping mid-transmission", "tx 0\nsleep 20\ndrop\n"}},
                        "err off\nsilent off\nlate 0\n",
                        "ptt 0\n",
                        0,
                        0};

// The squelch is read every 10 ms and must stay closed 30 ms: an over is the squelch open for a
// few readings, then closed. rigctld keeps the PTT keyed when its client goes, so a drop in the
// middle of a courtesy leaves the radio keyed until the link reads it back on reconnecting.
const Peer kRadio{"rigctld",
                  true,
                  "rigctld ",
                  {"dcd 1\nsleep 35\ndcd 0\n", "dcd 1\nsleep 35\n", "dcd 0\n",
                   "dcd 1\nsleep 25\nflutter 12\nsleep 40\ndcd 0\n"},
                  "dcd 1\nsleep 35\ndcd 0\n",
                  {{"refusing", "err on\n"},
                   {"refusing with code -9", "rprt -9\nerr on\n"},
                   {"not answering", "silent on\n"},
                   {"answering 150 ms late", "late 150\n"},
                   {"dropping mid-transmission", "dcd 1\nsleep 35\ndcd 0\nsleep 70\ndrop\n"}},
                  "err off\nsilent off\nlate 0\n",
                  // Readings asked while the fault was in force may still be answered late, and
                  // the link then connects again: the over comes once that has passed, and lasts
                  // a few readings more.
                  "dcd 1\nsleep 150\ndcd 0\n",
                  250,
                  50};

// The last lines of the simulator's log, to tell what led to a failure; the squelch readings
// and their answers (a hundred a second) left out.
std::string Tail(const QString& path, int lines) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  QList<QByteArray> kept;
  bool reading = false;
  for (const QByteArray& line : f.readAll().split('\n')) {
    const bool answer = reading && line.contains(" ANSWER ");
    reading = line.contains("get_dcd");
    if (!reading && !answer) kept.push_back(line);
  }
  return kept.mid(std::max<qsizetype>(0, kept.size() - lines)).join('\n').toStdString();
}

// How long the simulator takes to run `commands`: the sum of their sleeps. The next step waits
// that long, or the simulator would fall ever further behind the steps.
int CommandMs(const char* commands) {
  int total = 0;
  std::istringstream in(commands);
  for (std::string word; in >> word;) {
    if (word == "sleep" && in >> word) total += std::atoi(word.c_str());
  }
  return total;
}

std::string Joined(const std::deque<std::string>& lines) {
  std::string all;
  for (const std::string& line : lines) all += line + "\n";
  return all;
}

quint16 FreeLoopbackPort() {
  QTcpServer probe;
  probe.listen(QHostAddress::LocalHost, 0);
  return probe.serverPort();
}

void Soak(const Peer& peer, int seconds) {
  const char* linksim = std::getenv("CORVANTA_LINKSIM");
  ASSERT_NE(std::getenv("CORVANTA_RECORDING"), nullptr) << "run through scripts/null-sink.sh";
  ASSERT_NE(linksim, nullptr);
  const unsigned seed = std::getenv("CORVANTA_SOAK_SEED") != nullptr
                            ? static_cast<unsigned>(std::atol(std::getenv("CORVANTA_SOAK_SEED")))
                            : 20261207u;
  std::mt19937 random(seed);

  QTemporaryDir dir;
  const quint16 port = peer.rigctld ? FreeLoopbackPort() : 0;
  const QString endpoint = peer.rigctld ? "rigctld:127.0.0.1:" + QString::number(port)
                                        : "unix:" + dir.filePath("link.sock");
  QProcess sim;
  sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  QStringList arguments{"--listen", endpoint, "--log", dir.filePath("sim.log")};
  if (peer.rigctld) arguments.prepend("--rigctld");
  sim.start(linksim, arguments);
  ASSERT_TRUE(sim.waitForStarted(5000));
  SimLog log(dir.filePath("sim.log"));
  for (int i = 0; i < 500 && log.counts["LISTEN"] == 0; ++i) {
    Pump(10);
    log.Update();
  }

  ResetProcessState();
  ResetAudioState();
  const char* chosen = std::getenv("CORVANTA_SOAK_BACKEND");
  std::unique_ptr<SoundBackend> backend;
  if (chosen != nullptr && std::string(chosen) == "sdl") {
    backend = std::make_unique<SdlSoundBackend>();
  } else {
    backend = std::make_unique<PulseSoundBackend>();
  }
  Audio.Backend = backend.get();
  SetSettingsPath(dir.filePath("corvanta.cfg").toStdString());
  // Real window messages; every wait a tenth of its length, for real, so the sound still plays.
  testing::VirtualPlatform platform;
  platform.on_sleep = [](std::int32_t ms) {
    std::this_thread::sleep_for(std::chrono::microseconds(100) * ms);
  };
  platform.window_messages = [] { ProcessPendingMessages(); };
  ScopedPlatform installed(platform);
  long status_changes = 0;
  bool connected = false;
  const std::string prefix = peer.status_prefix;
  std::deque<std::string> statuses;  // the last few, to tell what led to a failure
  auto status = [&status_changes, &connected, &statuses, prefix](const std::string& text) {
    ++status_changes;
    statuses.push_back(text);
    if (statuses.size() > 12) statuses.pop_front();
    if (text.rfind(prefix + "connected (", 0) == 0) {
      connected = true;
    } else if (text.rfind(prefix, 0) == 0 &&
               (text.find("lost (") != text.npos || text.find("not connected (") != text.npos ||
                text.find("connecting again (") != text.npos)) {
      connected = false;
    }
    if (MainWindow* w = MainWindowRef()) w->SetStatusText(text);
  };
  if (peer.rigctld) {
    RigctldOptions options;
    options.port = port;
    options.status = status;
    options.answer_timeout_ms = 100;
    options.retry_ms = 100;
    options.connect_timeout_ms = 100;
    options.poll_ms = 10;
    options.hang_ms = 30;
    LinkObjectFactory() = RigctldLinkFactory(options);
  } else {
    LinkOptions options;
    std::string error;
    options.endpoint = *wire::ParseEndpoint(endpoint.toStdString(), error);
    options.answer_timeout_ms = 100;
    options.retry_ms = 100;
    options.status = status;
    LinkObjectFactory() = SocketLinkFactory(options);
  }

  QPointer<FrmMain> frm = Main();
  for (int i = 0; i < frm->DeviceCount() && frm->DeviceText() != "Test-Sink"; ++i) {
    frm->SelectDevice(i);
  }
  ASSERT_EQ(frm->DeviceText(), "Test-Sink");
  frm->SetSlider(Slider::sldSpeed, 200);  // 50 ms dots, 5 ms at this speed of time
  frm->findChild<QPushButton*>("cmdEchoLink")->click();
  ASSERT_EQ(Flags.IsMonitoring, kTrue);
  auto* test_button = frm->findChild<QPushButton*>("cmdTest");
  auto* pic_tx = frm->findChild<QLabel*>("picTX");
  auto* pic_rx = frm->findChild<QLabel*>("picRX");

  std::map<std::string, long> faults;
  std::map<std::string, long> recovered;
  std::string fault_in_force;
  long events = 0, steps = 0, test_clicks = 0;
  double rss_warm = 0;
  QElapsedTimer clock;
  clock.start();
  // A station runs for weeks: memory, threads and handles once a minute, and the slope after a
  // 5-minute warm-up (a quarter of a shorter run).
  recording::UsageTrend trend(peer.rigctld ? "soak rigctld" : "soak",
                              std::min(300.0, seconds / 4.0));

  while (clock.elapsed() < seconds * 1000LL) {
    ++steps;
    int busy_ms = 0;
    const auto send = [&sim, &busy_ms](const char* commands) {
      sim.write(commands);
      busy_ms += CommandMs(commands);
    };
    bool clearing = false;
    const int kind = static_cast<int>(random() % 100);
    if (kind < 8) {
      // A fault for the next steps, or back to normal.
      const Fault& f = peer.faults[random() % peer.faults.size()];
      faults[f.name] += 1;
      fault_in_force = f.name;
      send(peer.clear);
      send(f.commands);
    } else if (kind < 14) {
      send(peer.clear);
      clearing = true;
    } else if (kind < 22) {
      // A Test click that lands inside the transmission the event starts.
      send(peer.before_test_click);
      ++events;
      QTimer::singleShot(static_cast<int>(random() % 40), test_button, [test_button] {
        if (test_button->isEnabled()) test_button->click();
      });
      ++test_clicks;
    } else {
      // A burst of one to six events; those after the first arrive during a transmission.
      const int burst = 1 + static_cast<int>(random() % 6);
      for (int i = 0; i < burst; ++i) send(peer.events[random() % peer.events.size()]);
      events += burst;
    }
    // Let it all happen, then wait for rest: no transmission, and a quiet moment after it.
    Pump(busy_ms + 2 + static_cast<int>(random() % 20));
    QElapsedTimer idle;
    idle.start();
    while (idle.elapsed() < 10000) {
      Pump(5);
      if (TransmissionDepth() == 0) break;
    }
    ASSERT_EQ(TransmissionDepth(), 0) << "step " << steps << " never came to rest";
    ASSERT_EQ(Flags.TxTonePlaying, kFalse) << "step " << steps;
    ASSERT_EQ(Flags.RxTonePlaying, kFalse) << "step " << steps;
    ASSERT_FALSE(pic_tx->isVisible()) << "step " << steps;
    ASSERT_FALSE(pic_rx->isVisible()) << "step " << steps;
    // A late answer can confirm a release after the transmission gave up waiting for it.
    for (int i = 0; i < 50 && (log.Update(), log.keyed); ++i) Pump(10);
    ASSERT_FALSE(log.keyed) << "the transmitter was left keyed after step " << steps << ":\n"
                            << Tail(dir.filePath("sim.log"), 40) << "\nthe link said:\n"
                            << Joined(statuses);
    if (clearing && !fault_in_force.empty()) {
      // The fault has cleared: once the link is connected again, one RX courtesy ("t" at 5 ms
      // dots here) must be whole.
      QElapsedTimer reconnect;
      reconnect.start();
      while (!connected && reconnect.elapsed() < 2000) Pump(5);
      Pump(peer.settle_ms);
      while (!connected && reconnect.elapsed() < 4000) Pump(5);
      log.Update();  // what happened meanwhile (a courtesy, a release) is not this courtesy's
      const std::size_t keyings = log.keyings.size();
      const std::size_t from = recording::SampleCount(std::getenv("CORVANTA_RECORDING"));
      sim.write(peer.one_courtesy);
      QElapsedTimer wait;
      wait.start();
      while (wait.elapsed() < 5000 &&
             (log.Update(), log.keyings.size() < keyings + 2 || TransmissionDepth() > 0)) {
        Pump(5);
      }
      ASSERT_EQ(log.keyings.size(), keyings + 2) << "after " << fault_in_force << ":\n"
                                                 << Tail(dir.filePath("sim.log"), 60);
      const auto& key = log.keyings[keyings];
      const auto& release = log.keyings[keyings + 1];
      ASSERT_TRUE(key.key && !release.key) << "after " << fault_in_force;
      // 15 + (5 + 15) + 15 ms of the tenfold faster sleeps: the whole pattern went out keyed. A
      // loaded 2-core machine can hold the program up for tens of milliseconds, so the span is
      // held to what such a machine keeps; the link end-to-end tests and the timing benchmark
      // hold the exact figures.
      EXPECT_GE(release.ms - key.ms, 45.0 + peer.release_lag_ms) << "after " << fault_in_force;
      EXPECT_LT(release.ms - key.ms, 150.0 + peer.release_lag_ms) << "after " << fault_in_force;
      const char* recording = std::getenv("CORVANTA_RECORDING");
      recording::WaitForSamples(
          recording, recording::SampleCount(recording) + static_cast<std::size_t>(0.2 * 44100),
          3000);
      EXPECT_FALSE(recording::FindSegments(recording::ReadFrom(recording, from)).empty())
          << "no tone after " << fault_in_force;
      ++recovered[fault_in_force];
      fault_in_force.clear();
    }
    // Warm-up: every kind of step and fault has happened by then.
    if (rss_warm == 0 && clock.elapsed() > seconds * 250LL) rss_warm = recording::ResidentMb();
    // What this test keeps of each step goes, so that the memory measured is the program's: the
    // virtual platform's record of every sleep and message pass, and the keyings checked.
    platform.sleeps.clear();
    platform.do_events_at.clear();
    platform.messages.clear();
    if (log.keyings.size() > 64) log.keyings.erase(log.keyings.begin(), log.keyings.end() - 2);
    trend.Tick(static_cast<double>(clock.elapsed()) / 1000.0);
  }
  const double rss_end = recording::ResidentMb();
  log.Update();

  std::cout << "soak peer: " << peer.name << "\n"
            << "soak steps: " << steps << "\n"
            << "soak events sent: " << events << "\n"
            << "soak test clicks: " << test_clicks << "\n"
            << "soak link drops: " << log.counts["DROP"] << "\n";
  if (peer.rigctld) {
    std::cout << "soak PTT changes of the radio: " << log.counts["PTT"] << "\n";
  } else {
    std::cout << "soak keying requests: " << log.counts["SETPTT"] << "\n"
              << "soak releases by the simulator on a drop: " << log.counts["RELEASE"] << "\n";
  }
  std::cout << "soak answers: " << log.counts["ANSWER"] << "\n"
            << "soak link status changes: " << status_changes << "\n";
  for (const auto& [fault, count] : faults) {
    std::cout << "soak fault, link " << fault << ": " << count << ", whole courtesies after it "
              << "cleared: " << recovered[fault] << "\n";
  }
  std::cout << "soak resident memory after warm-up: " << rss_warm << " MB\n"
            << "soak resident memory at the end: " << rss_end << " MB\n";
  trend.PrintGrowth(static_cast<double>(clock.elapsed()) / 1000.0);
  EXPECT_GT(steps, 50);
  EXPECT_LT(rss_end - rss_warm, 8.0) << "resident memory grew";

  if (frm) frm->close();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  sim.write("quit\n");
  if (!sim.waitForFinished(5000)) sim.kill();
  ResetAudioState();
  LinkObjectFactory() = nullptr;
}

int SoakSeconds() {
  const char* seconds = std::getenv("CORVANTA_SOAK_SECONDS");
  return seconds != nullptr ? std::atoi(seconds) : 180;
}

TEST(Soak, ThousandsOfEventsWithFaultsLeaveNothingKeyedOrSet) {
  Soak(kLinkProgram, SoakSeconds());
}

TEST(Soak, ARadiosSquelchWithRigctldFaultsLeavesNothingKeyedOrSet) {
  Soak(kRadio, SoakSeconds() / 3);
}

}  // namespace
}  // namespace corvanta

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
