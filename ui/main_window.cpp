#include "ui/main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QLocale>
#include <QMenuBar>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <cmath>
#include <iostream>

#include "audio/sound_device.h"
#include "core/state.h"
#include "core/window_handlers.h"
#include "ui/artwork.h"
#include "ui/twips.h"

namespace corvanta {
namespace {

QFont Arial(double points, bool bold = false) {
  QFont f("Arial");
  f.setPointSizeF(points);
  f.setBold(bold);
  return f;
}

template <typename W>
W* Place(W* w, QWidget* parent, const char* name, const QRect& where) {
  w->setParent(parent);
  w->setObjectName(name);
  w->setGeometry(where);
  return w;
}

QLabel* Caption(QWidget* parent, const char* name, const char* text, const QRect& where,
                const QFont* font = nullptr) {
  auto* l = Place(new QLabel(text), parent, name, where);
  if (font != nullptr) l->setFont(*font);
  return l;
}

QLabel* ValueLabelAt(QWidget* parent, const char* name, const QRect& where) {
  auto* l = Place(new QLabel, parent, name, where);
  l->setFont(Arial(8.25));
  QPalette pal = l->palette();
  pal.setColor(QPalette::WindowText, Qt::blue);
  l->setPalette(pal);
  return l;
}

QSlider* SliderAt(QWidget* parent, const char* name, const QRect& where, int lo, int hi,
                  int page_step, const char* accessible) {
  auto* s = Place(new QSlider(Qt::Horizontal), parent, name, where);
  s->setRange(lo, hi);
  s->setValue(lo);
  if (page_step > 0) s->setPageStep(page_step);
  // A drag reports only when the thumb is let go; keys, clicks and the program report at once.
  s->setTracking(false);
  s->setAccessibleName(accessible);
  return s;
}

}  // namespace

void Guarded(const std::function<void()>& handler) {
  if (!handler) return;
  try {
    handler();
  } catch (const std::exception& e) {
    if (MainWindow* w = MainWindowRef()) {
      w->SetStatusText(std::string("Error: ") + e.what());
    } else {
      std::cerr << "corvanta: " << e.what() << '\n';
    }
  }
}

FrmMain::FrmMain() {
  setObjectName("frmMain");
  setWindowTitle(kAppTitle);
  setWindowIcon(AppIcon());
  // The design's controls are sized for an 8-point face; other texts name their own fonts.
  setFont(Arial(8.25));

  auto* client = new QWidget;
  client->setFixedSize(Px(7350), Px(2760));
  setCentralWidget(client);

  const QFont arial9 = Arial(9);
  auto* fraControls =
      Place(new QGroupBox("Sound Control"), client, "fraControls", Twips(90, -15, 5010, 1305));
  Caption(fraControls, "lblWpm", "Morse Speed", Twips(180, 270, 1095, 225), &arial9);
  sldSpeed_ =
      SliderAt(fraControls, "sldSpeed", Twips(2400, 225, 2535, 255), 0, 200, 0, "Morse Speed");
  TextSpeed_ = ValueLabelAt(fraControls, "TextSpeed", Twips(1425, 300, 750, 255));
  Caption(fraControls, "Label2", "Frequency", Twips(195, 570, 975, 255), &arial9);
  sldFreq_ =
      SliderAt(fraControls, "sldFreq", Twips(2415, 600, 2505, 255), 300, 1800, 20, "Frequency");
  textFreq_ = ValueLabelAt(fraControls, "textFreq", Twips(1425, 600, 840, 255));
  Caption(fraControls, "lblVolume", "Volume", Twips(210, 885, 735, 255), &arial9);
  HScroll2_ = SliderAt(fraControls, "HScroll2", Twips(2430, 930, 2475, 255), 0, 100, 5, "Volume");
  lblVolumeValue_ = ValueLabelAt(fraControls, "lblVolumeValue", Twips(1455, 915, 885, 255));

  auto* fraMorse =
      Place(new QGroupBox("Morse Characters"), client, "fraMorse", Twips(5175, -15, 2025, 1305));
  Caption(fraMorse, "Label3", "RX Character", Twips(210, 330, 1095, 255));
  txtRX_ = Place(new QLineEdit, fraMorse, "txtRX", Twips(1365, 300, 375, 285));
  txtRX_->setAccessibleName("RX Character");
  Caption(fraMorse, "Label4", "TX Character", Twips(195, 675, 1095, 255));
  txtTX_ = Place(new QLineEdit, fraMorse, "txtTX", Twips(1380, 645, 375, 285));
  txtTX_->setAccessibleName("TX Character");

  auto* fraDevice =
      Place(new QGroupBox("Output Device"), client, "fraDevice", Twips(105, 1350, 3900, 735));
  cmboDevice_ = Place(new QComboBox, fraDevice, "cmboDevice", Twips(90, 210, 3660, 315));
  cmboDevice_->setEditable(true);
  cmboDevice_->setInsertPolicy(QComboBox::NoInsert);
  cmboDevice_->setAccessibleName("Output Device");

  cmdTest_ = Place(new QPushButton("Test"), client, "cmdTest", Twips(4800, 1425, 1095, 375));
  cmdEchoLink_ = Place(new QPushButton, client, "cmdEchoLink", Twips(6000, 1410, 1215, 375));
  cmdExit_ = Place(new QPushButton, client, "cmdExit", Twips(6000, 1890, 1215, 375));
  // Send lies beyond the right edge and stays hidden: it keys through a link object of its own
  // and would leave the events unheard afterwards.
  CmdSend_ = Place(new QPushButton, client, "CmdSend", Twips(7470, 195, 1215, 375));
  CmdSend_->setVisible(false);

  auto* sbStatusBar = Place(new QFrame, client, "sbStatusBar", Twips(0, 2430, 7350, 330));
  auto* bar = new QHBoxLayout(sbStatusBar);
  bar->setContentsMargins(1, 1, 1, 1);
  bar->setSpacing(2);
  const auto panel = [sbStatusBar, bar](const char* name, int width) {
    auto* l = new QLabel(sbStatusBar);
    l->setObjectName(name);
    l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    if (width > 0) l->setFixedWidth(width);
    bar->addWidget(l, width > 0 ? 0 : 1);
    return l;
  };
  panelStatus_ = panel("sbStatusPanel1", 0);
  panelDate_ = panel("sbStatusPanel2", 76);
  panelTime_ = panel("sbStatusPanel3", 64);
  panelStatus_->setText("Status");

  // The indicators share the status strip and sit above it.
  picTX_ = Place(new QLabel, client, "picTX", Twips(3885, 2475, 315, 255));
  picTX_->setPixmap(TxIndicator());
  picTX_->setToolTip("Sending the TX character");
  picRX_ = Place(new QLabel, client, "picRX", Twips(4140, 2475, 300, 270));
  picRX_->setPixmap(RxIndicator());
  picRX_->setToolTip("Sending the RX character");
  picTX_->raise();
  picRX_->raise();

  QMenu* mnuHelp = menuBar()->addMenu("&Help");
  mnuHelp->setObjectName("mnuHelp");
  const auto item = [mnuHelp, this](const char* name, const char* text,
                                    std::function<void()> Handlers::*slot) {
    QAction* a = mnuHelp->addAction(text);
    a->setObjectName(name);
    connect(a, &QAction::triggered, this, [this, slot] { Guarded(handlers.*slot); });
  };
  item("mnuHelpContents", "&Contents", &Handlers::mnuHelpContents_Click);
  item("mnuHelpSearchForHelpOn", "&Search For Help On...", &Handlers::mnuHelpSearchForHelpOn_Click);
  mnuHelp->addSeparator()->setObjectName("mnuHelpBar0");
  item("mnuHelpAbout", "&About ", &Handlers::mnuHelpAbout_Click);

  connect(sldSpeed_, &QSlider::valueChanged, this,
          [](int p) { Guarded([p] { sldSpeed_Change(p); }); });
  connect(sldFreq_, &QSlider::valueChanged, this,
          [](int p) { Guarded([p] { sldFreq_Change(p); }); });
  connect(HScroll2_, &QSlider::valueChanged, this,
          [](int p) { Guarded([p] { HScroll2_Change(p); }); });
  connect(txtRX_, &QLineEdit::textChanged, this,
          [](const QString& t) { Guarded([&t] { txtRX_Change(t.toStdString()); }); });
  connect(txtTX_, &QLineEdit::textChanged, this,
          [](const QString& t) { Guarded([&t] { txtTX_Change(t.toStdString()); }); });
  connect(cmboDevice_, &QComboBox::activated, this, [] { Guarded(cmboDevice_Click); });
  connect(cmdTest_, &QPushButton::clicked, this, [this] { Guarded(handlers.cmdTest_Click); });
  connect(cmdEchoLink_, &QPushButton::clicked, this,
          [this] { Guarded(handlers.cmdEchoLink_Click); });
  connect(cmdExit_, &QPushButton::clicked, this, [this] { Guarded(handlers.cmdExit_Click); });
  connect(CmdSend_, &QPushButton::clicked, this, [this] { Guarded(handlers.CmdSend_Click); });

  clock_ = new QTimer(this);
  connect(clock_, &QTimer::timeout, this, &FrmMain::UpdateClock);
  clock_->start(1000);
  UpdateClock();

  layout()->setSizeConstraint(QLayout::SetFixedSize);
}

FrmMain::~FrmMain() {
  if (MainWindowRef() == this) SetMainWindowRef(nullptr);
}

void FrmMain::Form_Load() {
  cmdExit_->setText("Ex&it");
  CmdSend_->setText("Sen&d");
  cmdEchoLink_->setText("Start");
}

void FrmMain::closeEvent(QCloseEvent* event) {
  if (handlers.Form_QueryUnload && !handlers.Form_QueryUnload()) {
    event->ignore();
    return;
  }
  Guarded(handlers.Form_Unload);
  event->accept();
}

void FrmMain::UpdateClock() {
  const QDateTime now = QDateTime::currentDateTime();
  const QLocale locale;
  panelDate_->setText(locale.toString(now.date(), QLocale::ShortFormat));
  panelTime_->setText(locale.toString(now.time(), QLocale::ShortFormat));
}

void FrmMain::SetStatusText(const std::string& text) {
  panelStatus_->setText(QString::fromStdString(text));
  constexpr std::size_t kKept = 12;
  if (status_history_.size() == kKept) status_history_.erase(status_history_.begin());
  status_history_.push_back(text);
  QString tip;
  for (const std::string& t : status_history_) tip += QString::fromStdString(t) + "\n";
  panelStatus_->setToolTip(tip.trimmed());
}
std::string FrmMain::StatusText() const {
  return panelStatus_->text().toStdString();
}

void FrmMain::SetPictureVisible(Picture which, bool visible) {
  (which == Picture::picTX ? picTX_ : picRX_)->setVisible(visible);
}

void FrmMain::Refresh() {
  repaint();
}
void FrmMain::SetTestEnabled(bool enabled) {
  cmdTest_->setEnabled(enabled);
}
void FrmMain::SetDeviceBoxEnabled(bool enabled) {
  cmboDevice_->setEnabled(enabled);
}
void FrmMain::AddDevice(const std::string& d) {
  cmboDevice_->addItem(QString::fromStdString(d));
}
int FrmMain::DeviceCount() const {
  return cmboDevice_->count();
}

void FrmMain::SelectDevice(int position) {
  if (position < 0 || position >= cmboDevice_->count()) return;
  cmboDevice_->setCurrentIndex(position);
  // Choosing an entry is the list's click, also when the program does it.
  cmboDevice_Click();
}

int FrmMain::SelectedDevice() const {
  return cmboDevice_->currentIndex();
}
void FrmMain::SetDeviceText(const std::string& t) {
  cmboDevice_->setEditText(QString::fromStdString(t));
}
std::string FrmMain::DeviceText() const {
  return cmboDevice_->currentText().toStdString();
}

QSlider* FrmMain::SliderFor(Slider which) const {
  switch (which) {
    case Slider::sldSpeed:
      return sldSpeed_;
    case Slider::sldFreq:
      return sldFreq_;
    case Slider::HScroll2:
      break;
  }
  return HScroll2_;
}

QLabel* FrmMain::LabelFor(ValueLabel which) const {
  switch (which) {
    case ValueLabel::TextSpeed:
      return TextSpeed_;
    case ValueLabel::textFreq:
      return textFreq_;
    case ValueLabel::lblVolumeValue:
      break;
  }
  return lblVolumeValue_;
}

QLineEdit* FrmMain::BoxFor(TextBox which) const {
  return which == TextBox::txtTX ? txtTX_ : txtRX_;
}

void FrmMain::SetSlider(Slider which, int value) {
  SliderFor(which)->setValue(value);
}
int FrmMain::SliderValue(Slider which) const {
  return SliderFor(which)->value();
}
void FrmMain::SetLabel(ValueLabel which, const std::string& text) {
  LabelFor(which)->setText(QString::fromStdString(text));
}
std::string FrmMain::LabelText(ValueLabel which) const {
  return LabelFor(which)->text().toStdString();
}
void FrmMain::SetTextBox(TextBox which, const std::string& text) {
  BoxFor(which)->setText(QString::fromStdString(text));
}
std::string FrmMain::TextBoxText(TextBox which) const {
  return BoxFor(which)->text().toStdString();
}
std::intptr_t FrmMain::Handle() const {
  return static_cast<std::intptr_t>(winId());
}

}  // namespace corvanta
