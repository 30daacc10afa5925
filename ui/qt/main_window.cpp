#include "ui/qt/main_window.h"

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
#include <map>
#include <string>

#include "audio/sound_device.h"
#include "core/form_layout.h"
#include "core/state.h"
#include "core/window_handlers.h"
#include "ui/qt/artwork.h"
#include "ui/qt/twips.h"

namespace corvanta {
namespace {

// A control of the form table made as the Qt widget of its kind.
QWidget* Make(const ControlEntry& c) {
  const QString caption = QString::fromUtf8(c.caption);
  switch (c.kind) {
    case ControlKind::kFrame:
      return new QGroupBox(caption);
    case ControlKind::kLabel:
      return new QLabel(caption);
    case ControlKind::kValueLabel: {
      auto* l = new QLabel;
      QPalette pal = l->palette();
      pal.setColor(QPalette::WindowText, Qt::blue);
      l->setPalette(pal);
      return l;
    }
    case ControlKind::kSlider: {
      auto* s = new QSlider(Qt::Horizontal);
      s->setRange(c.range.min, c.range.max);
      s->setValue(c.range.min);
      if (c.range.page_step > 0) s->setPageStep(c.range.page_step);
      // A drag reports only when the thumb is let go; keys, clicks and the program report at once.
      s->setTracking(false);
      return s;
    }
    case ControlKind::kTextBox:
      return new QLineEdit;
    case ControlKind::kComboBox: {
      auto* box = new QComboBox;
      box->setEditable(true);
      box->setInsertPolicy(QComboBox::NoInsert);
      // An entry is chosen from the list only, by its position. Left to itself, the box would
      // choose the first entry carrying its text when it loses the focus or takes Enter: with
      // two outputs of one name that may be the other one, opened as if the operator had
      // picked it.
      QObject::disconnect(box->lineEdit(), &QLineEdit::editingFinished, box, nullptr);
      QObject::disconnect(box->lineEdit(), &QLineEdit::returnPressed, box, nullptr);
      return box;
    }
    case ControlKind::kButton:
      return new QPushButton(caption);
    case ControlKind::kPicture:
      return new QLabel;
    case ControlKind::kStatusBar:
      return new QFrame;
  }
  return new QWidget;
}

}  // namespace

FrmMain::FrmMain() {
  setObjectName("frmMain");
  setWindowTitle(kAppTitle);
  setWindowIcon(AppIcon());
  // The design's controls are sized for an 8-point face; other texts name their own fonts.
  setFont(QtFont(kMainFont));

  auto* client = new QWidget;
  client->setFixedSize(Px(kMainClient.width), Px(kMainClient.height));
  setCentralWidget(client);

  std::map<std::string, QWidget*> made;
  for (const ControlEntry& c : MainFormControls()) {
    QWidget* w = Make(c);
    w->setParent(*c.parent == '\0' ? client : made.at(c.parent));
    w->setObjectName(c.name);
    w->setGeometry(QtRect(c.place));
    if (c.font.points > 0) w->setFont(QtFont(c.font));
    if (*c.accessible != '\0') {
      w->setAccessibleName(c.accessible);
      if (c.kind == ControlKind::kPicture) w->setToolTip(c.accessible);
    }
    if (!c.visible) w->setVisible(false);
    made[c.name] = w;
  }
  const auto get = [&made]<typename W>(W*& member, const char* name) {
    member = qobject_cast<W*>(made.at(name));
  };
  get(sldSpeed_, "sldSpeed");
  get(sldFreq_, "sldFreq");
  get(HScroll2_, "HScroll2");
  get(TextSpeed_, "TextSpeed");
  get(textFreq_, "textFreq");
  get(lblVolumeValue_, "lblVolumeValue");
  get(txtRX_, "txtRX");
  get(txtTX_, "txtTX");
  get(cmboDevice_, "cmboDevice");
  get(cmdTest_, "cmdTest");
  get(cmdEchoLink_, "cmdEchoLink");
  get(cmdExit_, "cmdExit");
  get(CmdSend_, "CmdSend");
  get(picTX_, "picTX");
  get(picRX_, "picRX");

  QWidget* sbStatusBar = made.at("sbStatusBar");
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
  panelDate_ = panel("sbStatusPanel2", kDatePanelPx);
  panelTime_ = panel("sbStatusPanel3", kTimePanelPx);
  panelStatus_->setText(MainFormControl("sbStatusBar").caption);

  picTX_->setPixmap(TxIndicator());
  picRX_->setPixmap(RxIndicator());
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
  clock_->setSingleShot(true);
  sound_watch_ = new QTimer(this);
  connect(sound_watch_, &QTimer::timeout, this, [this] { Guarded(handlers.sound_watch); });
  sound_watch_->start(kSoundWatchMs);
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

// The date and the time to the minute (a label repaints only when its text changes); the timer
// wakes once a minute, just after the minute turns, not every second.
void FrmMain::UpdateClock() {
  const QDateTime now = QDateTime::currentDateTime();
  const QLocale locale;
  panelDate_->setText(locale.toString(now.date(), QLocale::ShortFormat));
  panelTime_->setText(locale.toString(now.time(), QLocale::ShortFormat));
  const QTime t = now.time();
  clock_->start((60 - t.second()) * 1000 - t.msec() + 20);
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
void FrmMain::ClearDevices() {
  const QSignalBlocker quiet(cmboDevice_);
  cmboDevice_->clear();
  cmboDevice_->setEditText({});
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
