// Courtesy transmissions and link events on the virtual clock, against fake link objects.
#include "engine/courtesy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "audio/audio_state.h"
#include "audio/sound_device.h"
#include "core/errors.h"
#include "link/echolink_events.h"
#include "settings/settings.h"
#include "support/fakes/fake_link.h"
#include "support/fakes/test_world.h"

namespace corvanta {
namespace {

using testing::FakeLinks;
using testing::PttCall;
using testing::TestWorld;
using testing::ToneSpan;

// A station with a device open, a held link object, 100 ms dots and the handlers installed.
struct Station {
  Station() {
    Flags.IsLoading = kTrue;  // listing selects the first entry without opening it
    CreateDxRoot();
    LoadSoundDevices();
    Flags.IsLoading = kFalse;
    Settings.DeviceIndex = "2";
    CreateSoundDevice();
    Settings.DotBase = 250;
    Settings.SpeedSetting = 150;  // 100 ms dots
    Settings.ToneFrequency = 500;
    Settings.TxCourtesyText = "K";
    Settings.RxCourtesyText = "t";
    world.window.SetSlider(Slider::HScroll2, 100);
    InstallLinkEventHandlers();
    CreateLinkObject();
  }
  ~Station() {
    world.window.Echolink.reset();  // the objects refer to `links`
    LinkEvents() = {};
  }
  std::vector<ToneSpan> Spans() const { return testing::ToneSpans(world.sound.calls()); }
  std::size_t Openings() const { return world.sound.CallsNamed("DirectSoundCreate").size(); }
  void StartMonitoring() { Flags.IsMonitoring = kTrue; }

  TestWorld world;
  FakeLinks links{[this] { return world.platform.NowMs(); }};
};

struct Courtesy : ::testing::Test, Station {};

std::vector<std::string> PictureLog(const std::vector<std::string>& log) {
  std::vector<std::string> out;
  for (const std::string& entry : log) {
    if (entry.rfind("pic", 0) == 0 || entry == "refresh") out.push_back(entry);
  }
  return out;
}

struct Shape {
  const char* name;
  void (*run)();
  std::int64_t key_ms;      // SETPTT 1
  std::int64_t release_ms;  // SETPTT 0
  std::int64_t first_tone_ms;
  std::size_t tones;
  const char* picture;  // "picTX", "picRX" or "" (Send shows none)
  int link_object;      // which object keys: 1 the held one, 2 a new one
};

// Key at 100 ms, first symbol 150 ms later, release 150 ms after the last; Send 200/200 with no
// pause before the key. "-.-" takes 1000 ms at a 100 ms dot, "-" 400 ms.
const Shape kShapes[] = {
    {"PlayTxCourtesy", PlayTxCourtesy, 100, 1400, 350, 3, "picTX", 1},
    {"PlayRxCourtesy", PlayRxCourtesy, 100, 800, 350, 1, "picRX", 1},
    {"cmdTest_Click", cmdTest_Click, 100, 1400, 350, 3, "picTX", 1},
    {"CmdSend_Click", CmdSend_Click, 0, 800, 300, 1, "", 2},
};

TEST(CourtesyTable, FourTransmissionTimelines) {
  for (const Shape& s : kShapes) {
    SCOPED_TRACE(s.name);
    Station fresh;
    fresh.world.window.log.clear();
    const std::int64_t start = fresh.world.platform.NowMs();
    s.run();
    ASSERT_EQ(fresh.links.calls.size(), 2u);
    EXPECT_EQ(fresh.links.calls[0].at_ms - start, s.key_ms);
    EXPECT_TRUE(fresh.links.calls[0].key);
    EXPECT_EQ(fresh.links.calls[1].at_ms - start, s.release_ms);
    EXPECT_FALSE(fresh.links.calls[1].key);
    EXPECT_EQ(fresh.links.calls[0].object, s.link_object);
    const auto spans = fresh.Spans();
    ASSERT_EQ(spans.size(), s.tones);
    EXPECT_EQ(spans[0].on_ms - start, s.first_tone_ms);
    EXPECT_EQ(Flags.TxTonePlaying, kFalse);
    EXPECT_EQ(Flags.RxTonePlaying, kFalse);
    if (*s.picture != '\0') {
      const std::vector<std::string> expected{std::string(s.picture) + ":1", "refresh",
                                              std::string(s.picture) + ":0", "refresh"};
      EXPECT_EQ(PictureLog(fresh.world.window.log), expected);
    } else {
      EXPECT_TRUE(PictureLog(fresh.world.window.log).empty());
      EXPECT_EQ(fresh.world.window.Echolink, nullptr);  // Send empties it
      EXPECT_EQ(fresh.links.alive(), 0);
    }
  }
}

// On a platform that keeps deadlines (as the window program's does), the transmitter gets its
// whole 150 ms (and the dot before the first symbol) from the link program's confirmation to the
// first tone heard, however long the answer took and however long the output's path, and 150 ms
// from the last tone heard to the release.
TEST(CourtesyTable, ThePausesAroundTheToneHeardCountFromTheConfirmation) {
  const struct {
    std::int64_t answer_ms;
    std::int64_t path_ms;  // the output's path, as the buffer says
  } cases[] = {{0, 0}, {7, 0}, {15, 0}, {19, 0}, {45, 0}, {15, 37}, {0, 53}, {7, 150}, {19, 181}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.answer_ms) + " ms answer, " + std::to_string(c.path_ms) +
                 " ms path");
    Station s;
    s.world.sound.output_delay_ns() = c.path_ms * 1'000'000;
    StdPlatform deadlines([&s] { return s.world.platform.NowMs() * 1'000'000; },
                          [&s](std::int64_t until_ns) {
                            const std::int64_t now_ns = s.world.platform.NowMs() * 1'000'000;
                            s.world.platform.Advance((until_ns - now_ns + 999'999) / 1'000'000);
                          });
    ScopedPlatform installed(deadlines);
    s.links.on_setptt = [&s, &c](bool key) {
      if (key) s.world.platform.Advance(c.answer_ms);
    };
    PlayRxCourtesy();
    ASSERT_EQ(s.links.calls.size(), 2u);
    const auto spans = s.Spans();
    ASSERT_FALSE(spans.empty());
    // Heard: a whole pause (and the dot each symbol waits first) after the confirmation, later
    // only when the path is longer than the pause; the release a whole pause after the last tone.
    EXPECT_EQ(spans.front().on_ms + c.path_ms - s.links.calls[0].at_ms,
              std::max<std::int64_t>(150, c.path_ms) + 100);
    EXPECT_EQ(s.links.calls[1].at_ms - (spans.back().off_ms + c.path_ms), 150);
    EXPECT_EQ(spans.back().off_ms - spans.front().on_ms, 300) << "\"t\" is one dash";
  }
}

// A new stream needs time to settle before its first tone is as long as the others: every
// courtesy readies the buffer for the current frequency (made anew when the frequency changed)
// at its start, 250 ms and a dot before the first tone.
TEST_F(Courtesy, TheBufferIsReadyLongBeforeTheFirstTone) {
  for (const std::int16_t frequency : {std::int16_t{500}, std::int16_t{500}, std::int16_t{900}}) {
    SCOPED_TRACE(frequency);
    Settings.ToneFrequency = frequency;
    const std::size_t buffers = world.sound.CallsNamed("CreateSoundBuffer").size();
    const std::size_t writes = world.sound.CallsNamed("WriteBuffer").size();
    const std::int64_t start = world.platform.NowMs();
    PlayTxCourtesy();
    const auto made = world.sound.CallsNamed("CreateSoundBuffer");
    const auto written = world.sound.CallsNamed("WriteBuffer");
    ASSERT_GT(written.size(), writes + 1);
    // The first write of the courtesy is silence, at its start; the first tone comes 350 ms on.
    EXPECT_EQ(written[writes].at_ms, start);
    EXPECT_TRUE(std::all_of(written[writes].bytes.begin(), written[writes].bytes.end(),
                            [](std::uint8_t b) { return b == 128; }));
    EXPECT_EQ(written[writes + 1].at_ms, start + 350);
    if (made.size() > buffers) {
      EXPECT_EQ(made.back().at_ms, start);  // a new length: made at the start, not at the tone
    }
  }
  EXPECT_EQ(world.sound.CallsNamed("CreateSoundBuffer").size(), 2u);  // 500, then 900
}

TEST_F(Courtesy, FlagIsSetBeforeThePauseAndCharacterIsLowerCased) {
  links.on_setptt = [](bool key) {
    if (key) {
      EXPECT_EQ(Flags.TxTonePlaying, kTrue);
    }
  };
  PlayTxCourtesy();
  EXPECT_EQ(Settings.TxCourtesyText, "k");
}

TEST_F(Courtesy, UnknownCharacterStillKeysForFourSilentDots) {
  Settings.RxCourtesyText = "ab";
  CmdSend_Click();
  ASSERT_EQ(links.calls.size(), 2u);
  EXPECT_EQ(links.calls[1].at_ms - links.calls[0].at_ms, 200 + 400 + 200);
  EXPECT_TRUE(Spans().empty());
}

TEST_F(Courtesy, TestDuringTxNestsAWholeTransmission) {
  bool checked = false;
  world.platform.At(300, [&] {
    cmdTest_Click();
    // The nested one has ended while the outer one still sends.
    EXPECT_EQ(Flags.TxTonePlaying, kFalse);
    EXPECT_FALSE(world.window.pic_tx_visible);
    checked = true;
  });
  PlayTxCourtesy();
  EXPECT_TRUE(checked);
  // The nested test keys again but leaves the release to the outer transmission, whose last
  // symbol would otherwise go out unkeyed: released once, 150 ms after the outer "-.-" ends.
  std::vector<bool> keys;
  for (const PttCall& c : links.calls) keys.push_back(c.key);
  EXPECT_EQ(keys, (std::vector<bool>{true, true, false}));
  EXPECT_EQ(links.calls.back().at_ms, world.platform.NowMs());
  EXPECT_GT(links.calls.back().at_ms, 1400);  // the outer one alone releases at 1400
  EXPECT_FALSE(links.keyed);
}

// What the air gets when an event or a click lands inside a transmission: the key stays down
// from the first keying request to the release of the outermost transmission.
TEST(CourtesyTable, NestedTransmissionsKeepTheKeyDownUntilTheOutermostEnds) {
  struct Case {
    const char* name;
    void (*outer)();
    void (*inner)();
    std::vector<bool> keys;
  };
  const Case cases[] = {
      {"TX event in RX", PlayRxCourtesy, [] { Echolink_TX(0); }, {true, true, false}},
      {"Test in RX", PlayRxCourtesy, cmdTest_Click, {true, true, false}},
      {"Test in a test", cmdTest_Click, cmdTest_Click, {true, true, false}},
      {"PTT in TX, ignored", PlayTxCourtesy, [] { Echolink_PTT(0); }, {true, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Station fresh;
    fresh.StartMonitoring();
    std::vector<bool> keyed_after_inner;
    auto inner = c.inner;
    fresh.world.platform.At(300, [&fresh, &keyed_after_inner, inner] {
      inner();
      keyed_after_inner.push_back(fresh.links.keyed);
    });
    c.outer();
    std::vector<bool> keys;
    for (const PttCall& call : fresh.links.calls) keys.push_back(call.key);
    EXPECT_EQ(keys, c.keys);
    EXPECT_EQ(keyed_after_inner, std::vector<bool>{true});  // still keyed when the outer goes on
    EXPECT_FALSE(fresh.links.keyed);
  }
}

TEST(CourtesyTable, EventGuards) {
  struct Case {
    const char* name;
    void (*outer)();
    bool ptt_event;  // the nested event: PTT or TX
    std::int16_t argument;
    std::size_t keyings;  // SETPTT 1 calls in all
  };
  const Case cases[] = {
      {"TX false during RX nests a TX", PlayRxCourtesy, false, 0, 2},
      {"TX true during RX sends nothing", PlayRxCourtesy, false, -1, 1},
      {"PTT false during TX only re-opens", PlayTxCourtesy, true, 0, 1},
      {"PTT false during a test only re-opens", cmdTest_Click, true, 0, 1},
      {"PTT false during RX only re-opens", PlayRxCourtesy, true, 0, 1},
      {"TX false during TX only re-opens", PlayTxCourtesy, false, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Station fresh;
    fresh.StartMonitoring();
    const std::size_t openings = fresh.Openings();
    const bool ptt = c.ptt_event;
    const std::int16_t arg = c.argument;
    fresh.world.platform.At(300, [ptt, arg] { ptt ? Echolink_PTT(arg) : Echolink_TX(arg); });
    c.outer();
    std::size_t keyings = 0;
    for (const PttCall& call : fresh.links.calls) keyings += call.key ? 1 : 0;
    EXPECT_EQ(keyings, c.keyings);
    EXPECT_EQ(fresh.links.calls.size(), c.keyings + 1);  // one release, by the outer one
    EXPECT_EQ(fresh.Openings(), openings + 1);           // every event re-opens the device
    EXPECT_EQ(Flags.TxTonePlaying | Flags.RxTonePlaying, kFalse);
  }
}

TEST_F(Courtesy, EventsBeforeStartChangeNothing) {
  const std::size_t openings = Openings();
  for (const std::int16_t arg : {std::int16_t{0}, std::int16_t{-1}, std::int16_t{7}}) {
    Echolink_PTT(arg);
    Echolink_TX(arg);
  }
  EXPECT_TRUE(links.calls.empty());
  EXPECT_EQ(Openings(), openings);
}

TEST_F(Courtesy, PttTrueThenFalseReopensTwiceAndSendsOneRx) {
  StartMonitoring();
  const std::size_t openings = Openings();
  Echolink_PTT(1);
  Echolink_PTT(0);
  EXPECT_EQ(Openings(), openings + 2);
  EXPECT_EQ(links.calls.size(), 2u);
  EXPECT_EQ(Spans().size(), 1u);  // "t"
}

TEST_F(Courtesy, StartButton) {
  testing::TempDir dir;
  SetSettingsPath((dir.path / "corvanta.cfg").string());
  Settings.DeviceIndex.clear();
  world.window.test_enabled = false;
  cmdEchoLink_Click();
  ASSERT_EQ(world.platform.messages.size(), 1u);
  EXPECT_EQ(world.platform.messages[0].text, "Error you have not selected your output device");
  EXPECT_EQ(Flags.IsMonitoring, kFalse);
  EXPECT_FALSE(world.window.test_enabled);
  EXPECT_TRUE(world.window.device_box_enabled);
  EXPECT_FALSE(FileExists((dir.path / "corvanta.cfg").string()));

  Settings.DeviceIndex = "2";
  const std::size_t openings = Openings();
  cmdEchoLink_Click();
  EXPECT_EQ(Flags.IsMonitoring, kTrue);
  EXPECT_TRUE(world.window.test_enabled);
  EXPECT_FALSE(world.window.device_box_enabled);
  EXPECT_EQ(Openings(), openings + 1);
  EXPECT_TRUE(FileExists((dir.path / "corvanta.cfg").string()));
}

// Every way a transmission can fail leaves the transmitter released (as the link program sees
// it), the flag and picture restored, and a status text that tells the truth about the key.
TEST(CourtesyTable, FailuresNeverLeaveTheKeyDown) {
  struct Case {
    const char* name;
    void (*run)();
    std::function<void(Station&)> arrange;
    std::vector<bool> recorded;  // SetPTT calls that got through
    const char* status_part;
  };
  const Case cases[] = {
      {"link refuses the key",
       PlayTxCourtesy,
       [](Station& t) {
         t.links.on_setptt = [](bool key) {
           if (key) throw LinkError("the link program refused: busy", LinkError::Fate::kRefused);
         };
       },
       {false},
       "TX courtesy failed: keying refused (the link program refused: busy); release sent"},
      {"link keys and still refuses",
       PlayTxCourtesy,
       [](Station& t) {
         t.links.on_setptt = [&t](bool key) {
           if (!key) return;
           t.links.keyed = true;
           throw LinkError("the link program refused: E_FAIL", LinkError::Fate::kRefused);
         };
       },
       {false},
       "keying refused (the link program refused: E_FAIL); release sent"},
      {"no answer to the key",
       PlayTxCourtesy,
       [](Station& t) {
         t.links.on_setptt = [](bool key) {
           if (key) {
             throw LinkError("the link program did not answer within 1000 ms",
                             LinkError::Fate::kUnanswered);
           }
         };
       },
       {false},
       "keying unanswered (the link program did not answer within 1000 ms); release sent"},
      {"the release waits behind the unanswered key",
       PlayTxCourtesy,
       [](Station& t) {
         t.links.on_setptt = [](bool key) {
           throw LinkError(key ? "the link program did not answer within 1000 ms" : "queued",
                           key ? LinkError::Fate::kUnanswered : LinkError::Fate::kQueued);
         };
       },
       {},
       "keying unanswered (the link program did not answer within 1000 ms); release sent once "
       "the link program answers"},
      {"link drops mid-pattern",
       PlayTxCourtesy,
       [](Station& t) { t.world.platform.At(600, [&t] { t.links.DropConnections(); }); },
       {true},
       "the link program released the key when the connection closed"},
      {"sound fails mid-pattern",
       PlayTxCourtesy,
       [](Station& t) { t.world.platform.At(600, [&t] { t.world.sound.faults().write = true; }); },
       {true, false},
       "key released"},
      {"no link object can be made",
       PlayTxCourtesy,
       [](Station& t) {
         t.world.window.Echolink.reset();
         t.links.refuse_creation = true;
       },
       {},
       "not connected; nothing keyed"},
      {"Test while the link program is down",
       cmdTest_Click,
       [](Station& t) { t.links.DropConnections(); },
       {},
       "Test failed: the link program is not connected; nothing keyed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Station fresh;
    c.arrange(fresh);
    c.run();
    std::vector<bool> keys;
    for (const PttCall& call : fresh.links.calls) keys.push_back(call.key);
    EXPECT_EQ(keys, c.recorded);
    EXPECT_FALSE(fresh.links.keyed);
    EXPECT_EQ(Flags.TxTonePlaying, kFalse);
    EXPECT_FALSE(fresh.world.window.pic_tx_visible);
    EXPECT_NE(fresh.world.window.status.find(c.status_part), std::string::npos)
        << fresh.world.window.status;
  }
}

// A nested transmission whose keying fails leaves the release to the one it is nested in, which
// goes on and releases at its own end; its status tells the truth about the key: still down for
// the outer one after a refusal, released by the link program when the connection closed.
TEST(CourtesyTable, AFailedNestedKeyingLeavesTheReleaseToTheOuterOne) {
  using Fate = LinkError::Fate;
  const struct {
    const char* name;
    Fate fate;
    bool released;
    const char* status_part;
  } cases[] = {
      {"refused", Fate::kRefused, false, "; the key stays down for the transmission"},
      {"connection lost", Fate::kLost, true, "; the link program released the key when the"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Station t;
    t.StartMonitoring();
    t.world.platform.At(300, [&t, &c] {
      t.links.on_setptt = [&c](bool key) {
        if (key) throw LinkError("the nested keying failed", c.fate, c.released);
      };
      Echolink_TX(0);
      EXPECT_NE(t.world.window.status.find(c.status_part), std::string::npos)
          << t.world.window.status;
      t.links.on_setptt = nullptr;
    });
    PlayRxCourtesy();
    std::vector<bool> keys;
    for (const PttCall& call : t.links.calls) keys.push_back(call.key);
    EXPECT_EQ(keys, (std::vector<bool>{true, false}));
    // "t" alone releases at 800; the nested attempt took its 100 ms pause before keying.
    EXPECT_EQ(t.links.calls.back().at_ms, 900);
  }
}

// Nothing waits for the operator while the key is down: a box asked for during a transmission
// opens once the outermost one has released the key, and only once however often it was asked.
TEST_F(Courtesy, ADeviceFailureInsideATransmissionOpensItsBoxOnlyAfterTheRelease) {
  StartMonitoring();
  std::vector<bool> keyed_at_box;
  world.platform.on_message = [this, &keyed_at_box](const auto&) {
    keyed_at_box.push_back(links.keyed);
  };
  world.platform.At(300, [this] {
    world.sound.faults().create_device = true;
    Echolink_PTT(0);  // re-opens and fails: status text, box deferred
    Echolink_TX(0);   // fails again: TX courtesy skipped, no second box
    EXPECT_TRUE(world.platform.messages.empty());
    EXPECT_NE(world.window.status_history.end(),
              std::find(world.window.status_history.begin(), world.window.status_history.end(),
                        kDeviceOpenFailedMessage));
  });
  PlayRxCourtesy();
  ASSERT_EQ(world.platform.messages.size(), 1u);
  EXPECT_EQ(world.platform.messages[0].text, kDeviceOpenFailedMessage);
  EXPECT_EQ(keyed_at_box, std::vector<bool>{false});
  std::vector<bool> keys;
  for (const PttCall& c : links.calls) keys.push_back(c.key);
  EXPECT_EQ(keys, (std::vector<bool>{true, false}));  // the TX courtesy keyed nothing
}

// An output that goes away is said once, and a courtesy under way ends at its next element with
// the key released; once the output is back the next courtesy is whole.
TEST_F(Courtesy, ALostOutputEndsTheCourtesyAndIsReportedOnce) {
  StartMonitoring();
  Settings.DeviceName = "Test-Sink";
  std::vector<std::string> lost_texts;
  world.platform.At(600, [this, &lost_texts] {
    world.sound.faults().lost = true;
    for (int i = 0; i < 3; ++i) {
      CheckSoundOutput();  // as the window's watch does, a few times a second
      if (world.window.status.rfind("Sound output lost", 0) == 0) {
        lost_texts.push_back(world.window.status);
        world.window.SetStatusText("");
      }
    }
  });
  PlayTxCourtesy();
  EXPECT_EQ(lost_texts, std::vector<std::string>{"Sound output lost: Test-Sink"});
  EXPECT_FALSE(links.keyed);
  EXPECT_LT(links.calls.back().at_ms, 1400);  // "-.-" alone releases at 1400
  EXPECT_NE(world.window.status.find("Sound output lost"), std::string::npos)
      << world.window.status;
  EXPECT_NE(world.window.status.find("key released"), std::string::npos) << world.window.status;

  world.sound.faults().lost = false;
  CheckSoundOutput();
  const std::size_t tones = Spans().size();
  Echolink_TX(0);
  EXPECT_EQ(Spans().size(), tones + 3);
  EXPECT_FALSE(links.keyed);
}

// Without sound, link events and Test alike key nothing and say so.
TEST(CourtesyTable, NoSoundOutputKeysNothing) {
  struct Case {
    const char* name;
    std::function<void(Station&)> arrange;
    void (*run)();
    const char* status;
  };
  const Case cases[] = {
      {"PTT event, device fails to open",
       [](Station& t) { t.world.sound.faults().create_device = true; }, [] { Echolink_PTT(0); },
       "RX courtesy skipped: the sound output could not be opened; nothing keyed"},
      {"TX event, device gone from the list", [](Station&) { Settings.DeviceIndex = "9"; },
       [] { Echolink_TX(0); },
       "TX courtesy skipped: the sound output could not be opened; nothing keyed"},
      {"TX event, no sound system", [](Station&) { Audio.Backend = nullptr; },
       [] { Echolink_TX(0); },
       "TX courtesy skipped: the sound output could not be opened; nothing keyed"},
      {"Test, no device open", [](Station&) { Audio.SoundDevice.reset(); }, cmdTest_Click,
       "Test skipped: no sound output is open; nothing keyed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Station fresh;
    fresh.StartMonitoring();
    c.arrange(fresh);
    fresh.world.window.log.clear();
    c.run();
    EXPECT_TRUE(fresh.links.calls.empty());
    EXPECT_TRUE(fresh.Spans().empty());
    EXPECT_EQ(fresh.world.window.status, c.status);
    EXPECT_TRUE(PictureLog(fresh.world.window.log).empty());  // no transmission began
  }
}

// Exit and then the close box (or a signal) during a transmission: both requests are kept and
// run in order once the key is released.
TEST_F(Courtesy, EveryClosingRequestDuringATransmissionRunsAfterIt) {
  std::vector<std::string> ran;
  world.platform.At(300, [&ran] {
    EndTransmissions([&ran] { ran.push_back("exit"); });
    EndTransmissions([&ran] { ran.push_back("close"); });
    WhenIdle([&ran] { ran.push_back("about"); });  // dropped: the program is going
  });
  PlayTxCourtesy();
  EXPECT_EQ(ran, (std::vector<std::string>{"exit", "close"}));
  EXPECT_FALSE(links.keyed);
  EXPECT_EQ(TransmissionDepth(), 0);
}

TEST_F(Courtesy, TestAfterSendMakesTheLinkObjectAgain) {
  CmdSend_Click();
  ASSERT_EQ(world.window.Echolink, nullptr);
  cmdTest_Click();
  EXPECT_EQ(links.made(), 3);
  EXPECT_NE(world.window.Echolink, nullptr);
  EXPECT_EQ(links.calls.back().object, 3);
}

TEST_F(Courtesy, EndingDuringNestedTransmissionsReleasesEveryKeyThenCloses) {
  StartMonitoring();
  int closed = 0;
  world.platform.At(300, [] { Echolink_TX(0); });  // nested into the RX below
  world.platform.At(700, [&] {
    EndTransmissions([&] {
      EXPECT_EQ(TransmissionDepth(), 0);
      ++closed;
    });
  });
  Settings.RxCourtesyText = "0";  // five dashes: long enough to be cut short
  PlayRxCourtesy();
  EXPECT_EQ(closed, 1);
  std::vector<bool> keys;
  for (const PttCall& c : links.calls) keys.push_back(c.key);
  EXPECT_EQ(keys, (std::vector<bool>{true, true, false}));
  EXPECT_FALSE(links.keyed);
  EXPECT_LT(world.platform.NowMs(), 2000);  // "0" alone would take 1900 ms keyed
  EXPECT_EQ(Settings.SendState, 0);
  EXPECT_EQ(Flags.TxTonePlaying | Flags.RxTonePlaying, kFalse);
  EXPECT_FALSE(world.window.pic_rx_visible);
  EXPECT_FALSE(world.window.pic_tx_visible);
}

}  // namespace
}  // namespace corvanta
