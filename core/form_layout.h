#pragma once
// The main window as the design lays it out: every control's name, parent, place in twips,
// caption, range and font, in one table that every window implementation (and the test window)
// reads, so that they cannot drift apart. Screens have 15 twips to a pixel at 96 dpi.
//
// Constant data: any thread, no blocking.
#include <cstdint>
#include <span>
#include <string_view>

#include "core/main_window.h"

namespace corvanta {

struct TwipsRect {
  int left, top, width, height;
};

struct FontStyle {
  const char* face;
  double points;  // 0: the window's own font
  bool bold;
};

struct SliderRange {
  int min, max;
  int page_step;  // 0: the toolkit's default
};

// The sliders' ranges. The settings file is repaired into the same ranges when it is read.
inline constexpr SliderRange kSpeedRange{0, 200, 0};
inline constexpr SliderRange kFrequencyRange{300, 1800, 20};
inline constexpr SliderRange kVolumeRange{0, 100, 5};
// The longest dot time that keeps seven dot times within a 16-bit millisecond count, and the
// lowest dot base that leaves every speed position a dot time of at least 1 ms.
inline constexpr std::int16_t kMaxDotMs = 4681;
inline constexpr std::int16_t kMinDotBase = kSpeedRange.max + 1;

constexpr const SliderRange& RangeOf(Slider which) {
  return which == Slider::sldSpeed  ? kSpeedRange
         : which == Slider::sldFreq ? kFrequencyRange
                                    : kVolumeRange;
}

enum class ControlKind {
  kFrame,       // a captioned group box
  kLabel,       // fixed caption
  kValueLabel,  // a slider's value, in blue
  kSlider,
  kTextBox,
  kComboBox,
  kButton,
  kPicture,
  kStatusBar,
};

struct ControlEntry {
  const char* name;
  ControlKind kind;
  const char* parent;  // the frame it sits in; "" for the client area
  TwipsRect place;
  const char* caption;     // "" for none
  const char* accessible;  // the name a screen reader gives it; "" for the caption
  FontStyle font;
  SliderRange range;  // sliders only
  bool visible;
};

// The client area and the window's own font.
inline constexpr TwipsRect kMainClient{0, 0, 7350, 2760};
inline constexpr FontStyle kMainFont{"Arial", 8.25, false};
// The status bar's date and time panels, in pixels; the status text takes the rest.
inline constexpr int kDatePanelPx = 76;
inline constexpr int kTimePanelPx = 64;

// A place in twips as pixels at `dpi` (1440 twips an inch), and a font's points (72 an inch), both
// rounded half to even as every conversion of the program is: at 150 % (144 dpi) the window's
// 8.25-point font is 16 pixels high, not 17.
int TwipsToPixels(int twips, int dpi);
int PointsToPixels(double points, int dpi);

// In creation order: frames before what they hold; the pictures last, above the status bar.
std::span<const ControlEntry> MainFormControls();
// The entry named `name`; throws std::out_of_range for a name not in the table.
const ControlEntry& MainFormControl(std::string_view name);

}  // namespace corvanta
