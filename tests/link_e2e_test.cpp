// The whole station on a real sound server and a simulated link program: the real main window
// (offscreen), the SDL sound output into the private null sink, and corvanta-linksim. Start is
// pressed, the simulator raises "ptt 1" then "ptt 0", and both the simulator's log and the
// recording must show one RX courtesy transmission with its timing.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "audio/audio_state.h"
#include "audio/sdl_sound.h"
#include "bench/recording.h"
#include "core/main_window.h"
#include "core/platform.h"
#include "core/state.h"
#include "engine/tone_generator.h"
#include "link/echolink_object.h"
#include "settings/settings.h"
#include "ui/main_window.h"
#include "ui/qt_platform.h"
#include "ui/startup.h"

namespace corvanta {
namespace {

namespace rec = recording;

// One callback period (256 frames) plus 2 ms, as for the sound output alone.
constexpr double kToleranceMs = 256 * 1000.0 / 44100.0 + 2.0;

bool WaitFor(const std::function<bool()>& done, int limit_ms) {
  QElapsedTimer clock;
  clock.start();
  while (!done() && clock.elapsed() < limit_ms) QTest::qWait(10);
  return done();
}

// The simulator on a private socket, the real window after a first start ("t" as the RX
// character, "k" as TX, 150 ms dots), the null sink chosen and Start pressed.
class Station {
 public:
  explicit Station(const QStringList& sim_options) {
    recording_ = std::getenv("CORVANTA_RECORDING");
    const char* linksim = std::getenv("CORVANTA_LINKSIM");
    if (recording_ == nullptr || linksim == nullptr) {
      ADD_FAILURE() << "run through scripts/null-sink.sh with CORVANTA_LINKSIM set";
      return;
    }
    endpoint_ = "unix:" + dir_.filePath("link.sock");
    log_ = dir_.filePath("linksim.log");
    sim_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim_.start(linksim, QStringList{"--listen", endpoint_, "--log", log_} + sim_options);
    if (!sim_.waitForStarted(5000) ||
        !WaitFor([&] { return QFile::exists(dir_.filePath("link.sock")); }, 5000)) {
      ADD_FAILURE() << "the simulator did not start";
      return;
    }
    ResetProcessState();
    ResetAudioState();
    Audio.Backend = &backend_;
    SetSettingsPath(dir_.filePath("corvanta.cfg").toStdString());
    LinkOptions options;
    std::string error;
    options.endpoint = *wire::ParseEndpoint(endpoint_.toStdString(), error);
    options.status = [](const std::string& text) {
      if (MainWindow* w = MainWindowRef()) w->SetStatusText(text);
    };
    LinkObjectFactory() = SocketLinkFactory(options);

    frm_ = Main();
    for (int i = 0; i < frm_->DeviceCount(); ++i) {
      frm_->SelectDevice(i);
      if (frm_->DeviceText() == "Test-Sink") break;
    }
    if (frm_->DeviceText() != "Test-Sink") {
      ADD_FAILURE() << "the null sink is not in the device list";
      return;
    }
    frm_->findChild<QPushButton*>("cmdEchoLink")->click();
    ready_ = Flags.IsMonitoring == kTrue;
  }
  ~Station() {
    if (frm_) frm_->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (sim_.state() != QProcess::NotRunning) {
      sim_.write("quit\n");
      if (!sim_.waitForFinished(5000)) sim_.kill();
    }
    ResetAudioState();
    LinkObjectFactory() = nullptr;
  }
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  bool ready() const { return ready_; }
  FrmMain* window() const { return frm_; }
  void Command(const char* lines) { sim_.write(lines); }
  // The simulator's log records of one kind, as their fields after the timestamp.
  std::vector<std::pair<double, std::string>> Records(const std::string& kind) const {
    QFile f(log_);
    std::vector<std::pair<double, std::string>> out;
    if (!f.open(QIODevice::ReadOnly)) return out;
    std::istringstream in(f.readAll().toStdString());
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      double ms = 0;
      std::string record, rest;
      if (fields >> ms >> record && record == kind) {
        std::getline(fields >> std::ws, rest);
        out.emplace_back(ms, rest);
      }
    }
    return out;
  }
  std::string endpoint() const { return endpoint_.toStdString(); }
  const char* recording() const { return recording_; }

 private:
  QTemporaryDir dir_;
  QString endpoint_, log_;
  QProcess sim_;
  const char* recording_ = nullptr;
  SdlSoundBackend backend_;
  QtPlatform platform_;
  ScopedPlatform installed_{platform_};
  QPointer<FrmMain> frm_;
  bool ready_ = false;
};

TEST(LinkEndToEnd, StartThenPttKeysTheLinkAroundTheRecordedRxCharacter) {
  Station station({});
  ASSERT_TRUE(station.ready());
  const auto& history = station.window()->StatusHistory();
  EXPECT_NE(std::find(history.begin(), history.end(),
                      "Link program connected (" + station.endpoint() + ")"),
            history.end());

  const std::size_t start = rec::SampleCount(station.recording());
  station.Command("ptt 1\nptt 0\n");
  ASSERT_TRUE(WaitFor([&] { return station.Records("SETPTT").size() >= 2; }, 10000));
  QTest::qWait(300);  // nothing more may follow
  const auto keyings = station.Records("SETPTT");
  ASSERT_EQ(keyings.size(), 2u);
  EXPECT_EQ(keyings[0].second.substr(0, 1), "1");
  EXPECT_EQ(keyings[1].second.substr(0, 1), "0");
  // 150 ms, the pattern " -" of 4 dots at 150 ms, 150 ms.
  const double keyed_ms = keyings[1].first - keyings[0].first;
  std::cout << "keyed for " << keyed_ms << " ms (nominal 900)\n";
  EXPECT_NEAR(keyed_ms, 150 + 4 * 150 + 150, 10.0);

  const char* recording = station.recording();
  ASSERT_TRUE(rec::WaitForSamples(
      recording, rec::SampleCount(recording) + static_cast<std::size_t>(0.3 * rec::kRate), 5000));
  const auto heard = rec::ReadFrom(recording, start);
  const auto segments = rec::FindSegments(heard);
  ASSERT_EQ(segments.size(), 1u);
  std::cout << "dash recorded for " << segments[0].Ms() << " ms (nominal 450) at "
            << rec::FrequencyHz(heard, segments[0]) << " Hz\n";
  EXPECT_NEAR(segments[0].Ms(), 3 * 150.0, kToleranceMs);
  EXPECT_NEAR(rec::FrequencyHz(heard, segments[0]), ToneHz(Settings.ToneFrequency), 1.0);
}

// Faults of the link program and the operator closing the window mid-transmission: the window
// comes back to rest (flag cleared, picture hidden), the status bar says what happened, and the
// simulator ends with its transmitter released.
TEST(LinkEndToEnd, FaultsNeverLeaveTheTransmitterKeyed) {
  struct Case {
    const char* name;
    QStringList options;
    const char* script;   // sent to the simulator after Start
    const char* closing;  // "close" (the close box) or "exit" (Exit) while the character sounds
    const char* status;   // part of the last status text ("" when the window closed)
  };
  const Case cases[] = {
      {"refused key", {"--err"}, "tx 0\n", "", "refused"},
      {"no answer", {"--silent"}, "tx 0\n", "", "did not answer"},
      {"dropped mid-pattern",
       {},
       "tx 0\nwait-setptt 1 5000\nsleep 400\ndrop\n",
       "",
       "could not be released"},
      {"window closed mid-pattern", {}, "tx 0\n", "close", ""},
      {"Exit mid-pattern", {}, "tx 0\n", "exit", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Station station(c.options);
    ASSERT_TRUE(station.ready());
    const std::string closing = c.closing;
    if (!closing.empty()) {
      // Fires inside the transmission, between two symbols: "k" at 150 ms dots keys for 2 s.
      QPointer<FrmMain> frm = station.window();
      QTimer::singleShot(1000, [frm, closing] {
        if (frm && closing == "close") frm->close();
        if (frm && closing == "exit") frm->findChild<QPushButton*>("cmdExit")->click();
      });
    }
    station.Command(c.script);
    ASSERT_TRUE(WaitFor([&] { return !station.Records("SETPTT").empty(); }, 5000));
    if (!closing.empty()) {
      ASSERT_TRUE(WaitFor([&] { return station.window() == nullptr; }, 8000));
      const auto requests = station.Records("SETPTT");
      ASSERT_EQ(requests.size(), 2u);
      EXPECT_LT(requests[1].first - requests[0].first, 1600.0);  // cut short, not 2100 ms
    } else {
      ASSERT_TRUE(WaitFor([] { return Flags.TxTonePlaying == kFalse; }, 8000));
      EXPECT_FALSE(station.window()->findChild<QWidget*>("picTX")->isVisible());
      EXPECT_NE(station.window()->StatusText().find(c.status), std::string::npos)
          << station.window()->StatusText();
    }
    QTest::qWait(200);
    // The release was asked for wherever the link could still be reached; the simulator ends
    // with its transmitter released (on the drop it releases by itself).
    const auto requests = station.Records("SETPTT");
    const bool dropped = !station.Records("RELEASE").empty();
    std::cout << c.name << ": " << requests.size() << " requests, "
              << (dropped ? "released by the simulator on the drop" : "released by request")
              << "; status: " << (station.window() ? station.window()->StatusText() : "closed")
              << '\n';
    if (!dropped) {
      EXPECT_EQ(requests.back().second.substr(0, 1), "0");
    }
    const auto transmitter = station.Records("TRANSMITTER");
    if (!transmitter.empty()) {
      EXPECT_EQ(transmitter.back().second, "0");
    }
    EXPECT_EQ(Flags.TxTonePlaying, kFalse);
  }
}

}  // namespace
}  // namespace corvanta

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);  // as the program does: a dropped peer is an error, not a signal
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
