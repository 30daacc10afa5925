#include "core/window_handlers.h"

#include <gtest/gtest.h>

#include "support/fakes/test_world.h"

namespace corvanta {
namespace {

TEST(Labels, SpeedFrequencyAndVolumeTexts) {
  struct Case {
    int position;
    bool sign_space;
    const char* speed;
    const char* freq;
  };
  const Case cases[] = {
      {0, false, "0 WPM", "0 hz"},           {100, false, "20 WPM", "100 hz"},
      {100, true, " 20 WPM", " 100 hz"},     {200, false, "41 WPM", "200 hz"},
      {700, true, " 142 WPM", " 700 hz"},    {1000, false, "203 WPM", "1000 hz"},
      {1001, false, "203 WPM", "1.001 Khz"}, {1250, true, " 254 WPM", " 1.25 Khz"},
      {1800, false, "366 WPM", "1.8 Khz"},   {2000, false, "406 WPM", "2 Khz"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SpeedLabelText(c.position, c.sign_space), c.speed) << c.position;
    EXPECT_EQ(FreqLabelText(c.position, c.sign_space), c.freq) << c.position;
  }
  EXPECT_EQ(VolumeLabelText(50), "50%");
  EXPECT_EQ(VolumeLabelText(0), "0%");
}

TEST(Handlers, SlidersKeepSettingsAndLabelsInStep) {
  testing::TestWorld world;
  world.window.SetSlider(Slider::sldSpeed, 200);
  world.window.SetSlider(Slider::sldFreq, 1000);
  world.window.SetSlider(Slider::HScroll2, 0);  // already 0: no change reported
  world.window.SetSlider(Slider::HScroll2, 35);
  EXPECT_EQ(Settings.SpeedSetting, 200);
  EXPECT_EQ(world.window.LabelText(ValueLabel::TextSpeed), "41 WPM");
  EXPECT_EQ(Settings.ToneFrequency, 1000);
  EXPECT_EQ(world.window.LabelText(ValueLabel::textFreq), "1000 hz");
  EXPECT_EQ(Settings.Volume, 35);
  EXPECT_EQ(world.window.LabelText(ValueLabel::lblVolumeValue), "35%");
}

TEST(Handlers, EmptyCharacterBoxClearsTheSettingOnlyAfterStartUp) {
  testing::TestWorld world;
  Settings.TxCourtesyText = "k";
  Settings.RxCourtesyText = "t";
  Flags.IsLoading = kTrue;
  txtTX_Change("");
  txtRX_Change("");
  EXPECT_EQ(Settings.TxCourtesyText, "k");
  EXPECT_EQ(Settings.RxCourtesyText, "t");
  txtTX_Change("ab");  // kept whole and untrimmed, also while loading
  EXPECT_EQ(Settings.TxCourtesyText, "ab");
  Flags.IsLoading = kFalse;
  txtTX_Change("");
  txtRX_Change(" r ");
  EXPECT_EQ(Settings.TxCourtesyText, "");
  EXPECT_EQ(Settings.RxCourtesyText, " r ");
}

}  // namespace
}  // namespace corvanta
