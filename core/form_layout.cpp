#include "core/form_layout.h"

#include <array>
#include <stdexcept>
#include <string>

#include "core/rounding.h"

namespace corvanta {
namespace {

constexpr FontStyle kOwnFont{"", 0, false};
constexpr FontStyle kArial9{"Arial", 9, false};
constexpr SliderRange kNoRange{0, 0, 0};

using K = ControlKind;
// One control a line: name, kind, parent, place (left, top, width, height in twips), caption,
// accessible name, font, slider range, visible.
// clang-format off
constexpr std::array kControls{
    ControlEntry{"fraControls", K::kFrame, "", {90, -15, 5010, 1305}, "Sound Control", "", kOwnFont, kNoRange, true},
    ControlEntry{"lblWpm", K::kLabel, "fraControls", {180, 270, 1095, 225}, "Morse Speed", "", kArial9, kNoRange, true},
    ControlEntry{"sldSpeed", K::kSlider, "fraControls", {2400, 225, 2535, 255}, "", "Morse Speed", kOwnFont, kSpeedRange, true},
    ControlEntry{"TextSpeed", K::kValueLabel, "fraControls", {1425, 300, 750, 255}, "", "", kMainFont, kNoRange, true},
    ControlEntry{"Label2", K::kLabel, "fraControls", {195, 570, 975, 255}, "Frequency", "", kArial9, kNoRange, true},
    ControlEntry{"sldFreq", K::kSlider, "fraControls", {2415, 600, 2505, 255}, "", "Frequency", kOwnFont, kFrequencyRange, true},
    ControlEntry{"textFreq", K::kValueLabel, "fraControls", {1425, 600, 840, 255}, "", "", kMainFont, kNoRange, true},
    ControlEntry{"lblVolume", K::kLabel, "fraControls", {210, 885, 735, 255}, "Volume", "", kArial9, kNoRange, true},
    ControlEntry{"HScroll2", K::kSlider, "fraControls", {2430, 930, 2475, 255}, "", "Volume", kOwnFont, kVolumeRange, true},
    ControlEntry{"lblVolumeValue", K::kValueLabel, "fraControls", {1455, 915, 885, 255}, "", "", kMainFont, kNoRange, true},

    ControlEntry{"fraMorse", K::kFrame, "", {5175, -15, 2025, 1305}, "Morse Characters", "", kOwnFont, kNoRange, true},
    ControlEntry{"Label3", K::kLabel, "fraMorse", {210, 330, 1095, 255}, "RX Character", "", kOwnFont, kNoRange, true},
    ControlEntry{"txtRX", K::kTextBox, "fraMorse", {1365, 300, 375, 285}, "", "RX Character", kOwnFont, kNoRange, true},
    ControlEntry{"Label4", K::kLabel, "fraMorse", {195, 675, 1095, 255}, "TX Character", "", kOwnFont, kNoRange, true},
    ControlEntry{"txtTX", K::kTextBox, "fraMorse", {1380, 645, 375, 285}, "", "TX Character", kOwnFont, kNoRange, true},

    ControlEntry{"fraDevice", K::kFrame, "", {105, 1350, 3900, 735}, "Output Device", "", kOwnFont, kNoRange, true},
    ControlEntry{"cmboDevice", K::kComboBox, "fraDevice", {90, 210, 3660, 315}, "", "Output Device", kOwnFont, kNoRange, true},

    ControlEntry{"cmdTest", K::kButton, "", {4800, 1425, 1095, 375}, "Test", "", kOwnFont, kNoRange, true},
    // Start and Exit take their captions from the program's state.
    ControlEntry{"cmdEchoLink", K::kButton, "", {6000, 1410, 1215, 375}, "", "", kOwnFont, kNoRange, true},
    ControlEntry{"cmdExit", K::kButton, "", {6000, 1890, 1215, 375}, "", "", kOwnFont, kNoRange, true},
    // Send lies beyond the right edge and stays hidden: it keys through a link object of its own
    // and would leave the events unheard afterwards.
    ControlEntry{"CmdSend", K::kButton, "", {7470, 195, 1215, 375}, "", "", kOwnFont, kNoRange, false},

    ControlEntry{"sbStatusBar", K::kStatusBar, "", {0, 2430, 7350, 330}, "Status", "", kOwnFont, kNoRange, true},
    // The indicators share the status strip and sit above it.
    ControlEntry{"picTX", K::kPicture, "", {3885, 2475, 315, 255}, "", "Sending the TX character", kOwnFont, kNoRange, true},
    ControlEntry{"picRX", K::kPicture, "", {4140, 2475, 300, 270}, "", "Sending the RX character", kOwnFont, kNoRange, true},
};
// clang-format on

}  // namespace

std::span<const ControlEntry> MainFormControls() {
  return kControls;
}

const ControlEntry& MainFormControl(std::string_view name) {
  for (const ControlEntry& c : kControls) {
    if (name == c.name) return c;
  }
  throw std::out_of_range("No control named " + std::string(name));
}

int TwipsToPixels(int twips, int dpi) {
  return RoundToInt32(static_cast<double>(twips) * dpi / 1440.0);
}

int PointsToPixels(double points, int dpi) {
  return RoundToInt32(points * dpi / 72.0);
}

}  // namespace corvanta
