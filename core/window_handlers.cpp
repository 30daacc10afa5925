#include "core/window_handlers.h"

#include <cstdint>
#include <string>

#include "core/main_window.h"
#include "core/rounding.h"
#include "core/state.h"

namespace corvanta {
namespace {

std::string WithSign(int value, bool sign_space) {
  std::string s = std::to_string(value);
  if (sign_space && value >= 0) s.insert(0, " ");
  return s;
}

// A position of 1001 and more is shown in thousands, shortest form: 1250 -> "1.25".
std::string Thousands(int position) {
  std::string s = std::to_string(position / 1000);
  const int rest = position % 1000;
  if (rest != 0) {
    std::string frac = std::to_string(rest);
    frac.insert(0, 3 - frac.size(), '0');
    while (frac.back() == '0') frac.pop_back();
    s += "." + frac;
  }
  return s;
}

}  // namespace

std::string SpeedLabelText(int position, bool sign_space) {
  // Words per minute from the slider position; the divisor is the window's own calibration.
  return WithSign(RoundClampToInt16(position / 4.923), sign_space) + " WPM";
}

std::string FreqLabelText(int position, bool sign_space) {
  if (position <= 1000) return WithSign(position, sign_space) + " hz";
  return (sign_space ? " " : "") + Thousands(position) + " Khz";
}

std::string VolumeLabelText(int position) {
  return std::to_string(position) + "%";
}

void sldSpeed_Change(int position) {
  Window().SetLabel(ValueLabel::TextSpeed, SpeedLabelText(position, false));
  Settings.SpeedSetting = static_cast<std::int16_t>(position);
}

void sldFreq_Change(int position) {
  Window().SetLabel(ValueLabel::textFreq, FreqLabelText(position, false));
  Settings.ToneFrequency = static_cast<std::int16_t>(position);
}

void HScroll2_Change(int position) {
  Window().SetLabel(ValueLabel::lblVolumeValue, VolumeLabelText(position));
  Settings.Volume = static_cast<std::int16_t>(position);
}

// While start-up loads the settings, an empty box must not wipe the stored character.
void txtRX_Change(const std::string& text) {
  if (!text.empty() || Flags.IsLoading == kFalse) Settings.RxCourtesyText = text;
}

void txtTX_Change(const std::string& text) {
  if (!text.empty() || Flags.IsLoading == kFalse) Settings.TxCourtesyText = text;
}

}  // namespace corvanta
