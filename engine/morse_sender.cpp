#include "engine/morse_sender.h"

#include <algorithm>

#include "core/main_window.h"
#include "core/platform.h"
#include "core/state.h"
#include "engine/tone_generator.h"

namespace corvanta {

void SendMorse(std::string& pattern) {
  const int wanted = Settings.DotBase - Settings.SpeedSetting;
  std::int16_t dot_ms = static_cast<std::int16_t>(std::clamp(wanted, 1, int{kMaxDotMs}));
  if (dot_ms != wanted) {
    // A dot time of zero or less would key nothing; one above the limit would overflow the
    // longer pauses. Send at the nearest usable speed and say so.
    if (MainWindow* w = MainWindowRef()) {
      w->SetStatusText("Dot time " + std::to_string(wanted) + " ms out of range, sent at " +
                       std::to_string(dot_ms) + " ms");
    }
  }
  SendElements(pattern, dot_ms, Settings.ToneFrequency);
}

void SendElements(std::string& pattern, std::int16_t& dot_ms, std::int16_t& frequency) {
  if (pattern.find_first_not_of(' ') == std::string::npos) pattern = " ";
  while (!pattern.empty()) {
    if (Settings.SendState == 0) {
      const char symbol = pattern.front();
      pattern.erase(0, 1);
      const std::int16_t dot = dot_ms;
      Sleep(dot);
      switch (symbol) {
        case ' ':
          Sleep(3 * dot);
          break;
        case '.':
          SoundElement(frequency, dot);
          break;
        case '-':
          SoundElement(frequency, static_cast<std::int16_t>(3 * dot));
          break;
        case '/':
          Sleep(7 * dot);
          break;
        default:
          break;
      }
    }
    // 2 asks to end the send; any other non-zero value (only a hand-edited file can hold one)
    // is taken the same way, so a send always ends.
    if (Settings.SendState != 0) {
      Settings.SendState = 0;
      return;
    }
    DoEvents();
  }
}

}  // namespace corvanta
