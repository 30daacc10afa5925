#include "engine/morse_sender.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fakes/test_world.h"

namespace corvanta {
namespace {

using testing::TestWorld;
using testing::ToneSpan;

// A device open, a dot time of 100 ms, 807 Hz at full volume.
void SetUpSender(TestWorld& world) {
  world.OpenDevice();
  Settings.DotBase = 250;
  Settings.SpeedSetting = 150;
  Settings.ToneFrequency = 500;
  world.window.SetSlider(Slider::HScroll2, 100);
}

struct Sender : ::testing::Test {
  Sender() { SetUpSender(world); }
  std::vector<ToneSpan> Spans() const { return testing::ToneSpans(world.sound.calls()); }
  TestWorld world;
};

TEST_F(Sender, KTimeline) {
  std::string pattern = "-.-";
  SendMorse(pattern);
  const auto spans = Spans();
  ASSERT_EQ(spans.size(), 3u);
  const std::pair<std::int64_t, std::int64_t> expected[] = {{100, 400}, {500, 600}, {700, 1000}};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(spans[i].on_ms, expected[i].first) << i;
    EXPECT_EQ(spans[i].off_ms, expected[i].second) << i;
    EXPECT_EQ(spans[i].buffer_bytes, 4044u);  // 807 Hz
  }
  EXPECT_EQ(world.platform.NowMs(), 1000);
  // Messages run after every symbol, the last one included, never inside a sleep or a tone.
  EXPECT_EQ(world.platform.do_events_at, (std::vector<std::int64_t>{400, 600, 1000}));
}

TEST(SenderTable, PauseLengthsInDotTimes) {
  struct Case {
    const char* pattern;
    std::int64_t dots;
    std::size_t tones;
  };
  const Case cases[] = {
      {" .- ", 14, 2}, {"", 4, 0},  {"   ", 4, 0}, {"/", 8, 0},
      {"x", 1, 0},     {".", 2, 1}, {"-", 4, 1},   {"-.-.", 12, 4},
  };
  for (const Case& c : cases) {
    TestWorld world;
    SetUpSender(world);
    std::string pattern = c.pattern;
    SendMorse(pattern);
    EXPECT_EQ(world.platform.NowMs(), c.dots * 100) << "'" << c.pattern << "'";
    EXPECT_EQ(testing::ToneSpans(world.sound.calls()).size(), c.tones) << "'" << c.pattern << "'";
  }
}

TEST_F(Sender, StopRequestEndsTheSendBeforeItsFirstSymbol) {
  for (const std::int16_t state : std::initializer_list<std::int16_t>{2, 1, -1, 7}) {
    Settings.SendState = state;
    std::string pattern = "-.-";
    const std::int64_t start = world.platform.NowMs();
    SendMorse(pattern);
    EXPECT_EQ(world.platform.NowMs(), start) << state;
    EXPECT_TRUE(world.platform.sleeps.empty()) << state;
    EXPECT_EQ(Settings.SendState, 0) << state;
  }
  EXPECT_TRUE(Spans().empty());
  std::string pattern = ".";
  SendMorse(pattern);  // the next send keys normally
  EXPECT_EQ(Spans().size(), 1u);
}

TEST_F(Sender, FrequencyChangeTakesEffectFromTheNextElement) {
  world.platform.At(200, [this] { world.window.SetSlider(Slider::sldFreq, 1000); });
  std::string pattern = "...";
  SendMorse(pattern);
  const auto spans = Spans();
  ASSERT_EQ(spans.size(), 3u);
  EXPECT_EQ(spans[0].buffer_bytes, 4044u);  // 807 Hz
  EXPECT_EQ(spans[1].buffer_bytes, 4095u);  // 2757 Hz from the element after the change
  EXPECT_EQ(spans[2].buffer_bytes, 4095u);
}

TEST_F(Sender, VolumeChangeTakesEffectFromTheNextElement) {
  world.platform.At(200, [this] { world.window.SetSlider(Slider::HScroll2, 50); });
  std::string pattern = "...";
  SendMorse(pattern);
  const auto spans = Spans();
  ASSERT_EQ(spans.size(), 3u);
  EXPECT_EQ(spans[0].peak, 255);
  EXPECT_EQ(spans[1].peak, 191);
  EXPECT_EQ(spans[2].peak, 191);
}

TEST_F(Sender, SpeedChangeWaitsForTheNextSend) {
  world.platform.At(200, [this] { world.window.SetSlider(Slider::sldSpeed, 200); });
  std::string first = "...";
  SendMorse(first);
  EXPECT_EQ(world.platform.NowMs(), 600);  // 3 x 2 dots of 100 ms
  std::string second = ".";
  SendMorse(second);
  EXPECT_EQ(world.platform.NowMs(), 700);  // 2 dots of 50 ms
}

TEST(SenderTable, DotTimeOutsideTheUsableRangeIsClampedAndReported) {
  struct Case {
    std::int16_t dot_base, speed;
    std::int32_t dot_ms;
  };
  const Case cases[] = {{0, 100, 1}, {100, 100, 1}, {32767, 0, 4681}, {-32768, 200, 1}};
  for (const Case& c : cases) {
    TestWorld world;
    Settings.DotBase = c.dot_base;
    Settings.SpeedSetting = c.speed;
    std::string pattern = "/";
    SendMorse(pattern);
    EXPECT_EQ(world.platform.NowMs(), 8 * c.dot_ms) << c.dot_base;
    EXPECT_NE(world.window.status.find("out of range"), std::string::npos) << c.dot_base;
  }
}

TEST_F(Sender, LongestDotTimeKeepsEveryPauseInRange) {
  Settings.DotBase = 4681;
  Settings.SpeedSetting = 0;
  std::string pattern = "/";
  SendMorse(pattern);
  ASSERT_EQ(world.platform.sleeps.size(), 2u);
  EXPECT_EQ(world.platform.sleeps[1].ms, 32767);
  EXPECT_EQ(world.window.status, "Status");  // nothing to report
}

}  // namespace
}  // namespace corvanta
