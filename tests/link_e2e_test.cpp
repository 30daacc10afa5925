// The whole station on a real sound server and a simulated link program: the real main window
// (offscreen), the SDL sound output into the private null sink, and corvanta-linksim. Start is
// pressed, the simulator raises "ptt 1" then "ptt 0", and both the simulator's log and the
// recording must show one RX courtesy transmission with its timing.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
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

// The simulator's log: "<ms> SETPTT <0|1> <connection>" among other records.
std::vector<std::pair<double, int>> SetPttRecords(const QString& log_file) {
  QFile f(log_file);
  std::vector<std::pair<double, int>> out;
  if (!f.open(QIODevice::ReadOnly)) return out;
  std::istringstream in(f.readAll().toStdString());
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    double ms = 0;
    std::string record;
    int key = -1;
    if (fields >> ms >> record >> key && record == "SETPTT") out.emplace_back(ms, key);
  }
  return out;
}

bool WaitFor(const std::function<bool()>& done, int limit_ms) {
  QElapsedTimer clock;
  clock.start();
  while (!done() && clock.elapsed() < limit_ms) QTest::qWait(10);
  return done();
}

TEST(LinkEndToEnd, StartThenPttKeysTheLinkAroundTheRecordedRxCharacter) {
  const char* recording = std::getenv("CORVANTA_RECORDING");
  const char* linksim = std::getenv("CORVANTA_LINKSIM");
  ASSERT_NE(recording, nullptr) << "run this test through scripts/null-sink.sh";
  ASSERT_NE(linksim, nullptr) << "CORVANTA_LINKSIM names the simulator";
  QTemporaryDir dir;
  const QString endpoint = "unix:" + dir.filePath("link.sock");
  const QString log = dir.filePath("linksim.log");

  QProcess sim;
  sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  sim.start(linksim, {"--listen", endpoint, "--log", log});
  ASSERT_TRUE(sim.waitForStarted(5000));
  ASSERT_TRUE(WaitFor([&] { return QFile::exists(dir.filePath("link.sock")); }, 5000));

  ResetProcessState();
  ResetAudioState();
  SdlSoundBackend backend;
  Audio.Backend = &backend;
  SetSettingsPath(dir.filePath("corvanta.cfg").toStdString());
  QtPlatform platform;
  ScopedPlatform installed(platform);
  LinkOptions options;
  std::string error;
  options.endpoint = *wire::ParseEndpoint(endpoint.toStdString(), error);
  options.status = [](const std::string& text) {
    if (MainWindow* w = MainWindowRef()) w->SetStatusText(text);
  };
  LinkObjectFactory() = SocketLinkFactory(options);

  FrmMain* frm = Main();  // first start: default settings, "t" as the RX character, 150 ms dots
  const auto& history = frm->StatusHistory();
  EXPECT_NE(std::find(history.begin(), history.end(),
                      "Link program connected (" + endpoint.toStdString() + ")"),
            history.end());
  int sink = -1;
  for (int i = 0; i < frm->DeviceCount(); ++i) {
    frm->SelectDevice(i);
    if (frm->DeviceText() == "Test-Sink") {
      sink = i;
      break;
    }
  }
  ASSERT_GE(sink, 0) << "the null sink is not in the device list";
  frm->findChild<QPushButton*>("cmdEchoLink")->click();
  ASSERT_EQ(Flags.IsMonitoring, kTrue);

  const std::size_t start = rec::SampleCount(recording);
  sim.write("ptt 1\nptt 0\n");
  ASSERT_TRUE(WaitFor([&] { return SetPttRecords(log).size() >= 2; }, 10000));
  QTest::qWait(300);  // nothing more may follow
  const auto keyings = SetPttRecords(log);
  ASSERT_EQ(keyings.size(), 2u);
  EXPECT_EQ(keyings[0].second, 1);
  EXPECT_EQ(keyings[1].second, 0);
  // 150 ms, the pattern " -" of 4 dots at 150 ms, 150 ms.
  const double keyed_ms = keyings[1].first - keyings[0].first;
  std::cout << "keyed for " << keyed_ms << " ms (nominal 900)\n";
  EXPECT_NEAR(keyed_ms, 150 + 4 * 150 + 150, 10.0);

  ASSERT_TRUE(rec::WaitForSamples(
      recording, rec::SampleCount(recording) + static_cast<std::size_t>(0.3 * rec::kRate), 5000));
  const auto heard = rec::ReadFrom(recording, start);
  const auto segments = rec::FindSegments(heard);
  ASSERT_EQ(segments.size(), 1u);
  std::cout << "dash recorded for " << segments[0].Ms() << " ms (nominal 450) at "
            << rec::FrequencyHz(heard, segments[0]) << " Hz\n";
  EXPECT_NEAR(segments[0].Ms(), 3 * 150.0, kToleranceMs);
  EXPECT_NEAR(rec::FrequencyHz(heard, segments[0]), ToneHz(Settings.ToneFrequency), 1.0);

  frm->close();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  sim.write("quit\n");
  EXPECT_TRUE(sim.waitForFinished(5000));
  ResetAudioState();
  LinkObjectFactory() = nullptr;
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
