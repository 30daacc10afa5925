#pragma once
// The main window as plain state. Sliders clamp to their ranges and, like the toolkit, raise their
// change handler when the value changes; text boxes raise theirs on every change; selecting a
// device entry raises the list's click handler.
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/main_window.h"

namespace corvanta::testing {

class FakeMainWindow final : public MainWindow {
 public:
  void SetStatusText(const std::string& text) override;
  std::string StatusText() const override { return status; }
  void SetPictureVisible(Picture which, bool visible) override;
  void Refresh() override {
    ++refreshes;
    log.push_back("refresh");
  }
  void SetTestEnabled(bool enabled) override { test_enabled = enabled; }
  void SetDeviceBoxEnabled(bool enabled) override { device_box_enabled = enabled; }
  void AddDevice(const std::string& description) override { devices.push_back(description); }
  void ClearDevices() override {
    devices.clear();
    selected = -1;
    device_text.clear();
  }
  int DeviceCount() const override { return static_cast<int>(devices.size()); }
  void SelectDevice(int position) override;
  int SelectedDevice() const override { return selected; }
  void SetDeviceText(const std::string& text) override {
    device_text = text;
    log.push_back("cmboDevice=" + text);
  }
  std::string DeviceText() const override { return device_text; }
  void SetSlider(Slider which, int value) override;
  int SliderValue(Slider which) const override { return sliders[Index(which)]; }
  void SetLabel(ValueLabel which, const std::string& text) override {
    static constexpr std::array<const char*, 3> kName{"TextSpeed", "textFreq", "lblVolumeValue"};
    labels[Index(which)] = text;
    log.push_back(std::string(kName[Index(which)]) + "=" + text);
  }
  std::string LabelText(ValueLabel which) const override { return labels[Index(which)]; }
  void SetTextBox(TextBox which, const std::string& text) override;
  std::string TextBoxText(TextBox which) const override { return boxes[Index(which)]; }
  std::intptr_t Handle() const override { return handle; }

  // Design state: sliders at their least positions, labels and boxes empty, status "Status".
  std::array<int, 3> sliders{0, 300, 0};
  std::array<std::string, 3> labels;
  std::array<std::string, 2> boxes;
  std::string status = "Status";
  std::vector<std::string> status_history;
  std::string device_text;
  std::vector<std::string> devices;
  int selected = -1;
  bool test_enabled = true;
  bool device_box_enabled = true;
  bool pic_tx_visible = true;
  bool pic_rx_visible = true;
  int refreshes = 0;
  std::intptr_t handle = 0x1234;  // a real window's, where the sound system checks it
  // Every change in order, for timelines: "status:...", "picTX:1", "sldFreq=700", "refresh".
  std::vector<std::string> log;
  std::function<void()> on_device_click;

 private:
  template <typename E>
  static std::size_t Index(E e) {
    return static_cast<std::size_t>(e);
  }
};

}  // namespace corvanta::testing
