#pragma once
// frmMain, the operator's one working window: output device, speed, frequency and volume sliders
// with their value labels, the two courtesy characters, Test, Start and Exit, the indicator
// pictures, a three-panel status bar and the Help menu. Positions are the design's twips at 15
// twips a pixel. Controls carry their design names as objectName.
#include <QMainWindow>
#include <functional>
#include <string>
#include <vector>

#include "core/main_window.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QTimer;

namespace corvanta {

class FrmMain final : public QMainWindow, public MainWindow {
  Q_OBJECT

 public:
  FrmMain();
  ~FrmMain() override;

  // MainWindow
  void SetStatusText(const std::string& text) override;
  std::string StatusText() const override;
  void SetPictureVisible(Picture which, bool visible) override;
  void Refresh() override;
  void SetTestEnabled(bool enabled) override;
  void SetDeviceBoxEnabled(bool enabled) override;
  void AddDevice(const std::string& description) override;
  void ClearDevices() override;
  int DeviceCount() const override;
  void SelectDevice(int position) override;
  int SelectedDevice() const override;
  void SetDeviceText(const std::string& text) override;
  std::string DeviceText() const override;
  void SetSlider(Slider which, int value) override;
  int SliderValue(Slider which) const override;
  void SetLabel(ValueLabel which, const std::string& text) override;
  std::string LabelText(ValueLabel which) const override;
  void SetTextBox(TextBox which, const std::string& text) override;
  std::string TextBoxText(TextBox which) const override;
  std::intptr_t Handle() const override;

  // The last status texts, oldest first; the status panel's tooltip shows them, since start-up
  // and link events can overwrite a text before the operator has read it.
  const std::vector<std::string>& StatusHistory() const { return status_history_; }

  // The window's load step: the captions of Exit, Send and Start.
  void Form_Load();

  // Start-up fills them in; sound_watch runs every kSoundWatchMs.
  using Handlers = WindowHandlers;
  Handlers handlers;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void UpdateClock();
  QSlider* SliderFor(Slider which) const;
  QLabel* LabelFor(ValueLabel which) const;
  QLineEdit* BoxFor(TextBox which) const;

  QSlider* sldSpeed_;
  QSlider* sldFreq_;
  QSlider* HScroll2_;
  QLabel* TextSpeed_;
  QLabel* textFreq_;
  QLabel* lblVolumeValue_;
  QLineEdit* txtRX_;
  QLineEdit* txtTX_;
  QComboBox* cmboDevice_;
  QPushButton* cmdTest_;
  QPushButton* cmdEchoLink_;
  QPushButton* cmdExit_;
  QPushButton* CmdSend_;
  QLabel* picTX_;
  QLabel* picRX_;
  QLabel* panelStatus_;
  QLabel* panelDate_;
  QLabel* panelTime_;
  QTimer* clock_;
  QTimer* sound_watch_;
  std::vector<std::string> status_history_;
};

}  // namespace corvanta
