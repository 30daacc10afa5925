#include "support/fakes/fake_main_window.h"

#include <algorithm>

#include "core/form_layout.h"
#include "core/window_handlers.h"

namespace corvanta::testing {

void FakeMainWindow::SetStatusText(const std::string& text) {
  status = text;
  status_history.push_back(text);
  log.push_back("status:" + text);
}

void FakeMainWindow::SetPictureVisible(Picture which, bool visible) {
  (which == Picture::picTX ? pic_tx_visible : pic_rx_visible) = visible;
  log.push_back(std::string(which == Picture::picTX ? "picTX:" : "picRX:") + (visible ? "1" : "0"));
}

void FakeMainWindow::SelectDevice(int position) {
  if (position < 0 || position >= DeviceCount()) return;
  selected = position;
  device_text = devices[static_cast<std::size_t>(position)];
  if (on_device_click) on_device_click();
}

void FakeMainWindow::SetSlider(Slider which, int value) {
  value = std::clamp(value, RangeOf(which).min, RangeOf(which).max);
  if (sliders[Index(which)] == value) return;
  static constexpr std::array<const char*, 3> kName{"sldSpeed", "sldFreq", "HScroll2"};
  log.push_back(std::string(kName[Index(which)]) + "=" + std::to_string(value));
  sliders[Index(which)] = value;
  switch (which) {
    case Slider::sldSpeed:
      sldSpeed_Change(value);
      break;
    case Slider::sldFreq:
      sldFreq_Change(value);
      break;
    case Slider::HScroll2:
      HScroll2_Change(value);
      break;
  }
}

void FakeMainWindow::SetTextBox(TextBox which, const std::string& text) {
  if (boxes[Index(which)] == text) return;
  boxes[Index(which)] = text;
  log.push_back(std::string(which == TextBox::txtTX ? "txtTX=" : "txtRX=") + text);
  if (which == TextBox::txtTX) {
    txtTX_Change(text);
  } else {
    txtRX_Change(text);
  }
}

}  // namespace corvanta::testing
