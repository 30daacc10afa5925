#include "ui/qt/startup.h"

#include <QApplication>
#include <QEvent>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <vector>

#include "ui/qt/about_help.h"
#include "ui/qt/main_window.h"
#include "ui/qt/splash.h"

namespace corvanta {
namespace {

// The order in which the program's windows first appeared: Qt lists its top-level windows in no
// particular order, and the other windows close the latest first.
class WindowOrder final : public QObject {
 public:
  explicit WindowOrder(QObject* application) : QObject(application) {
    application->installEventFilter(this);
  }
  // The windows still open, the latest first; those seen before this began come last.
  static std::vector<QPointer<QWidget>> LatestFirst() {
    std::vector<QPointer<QWidget>> windows;
    for (QWidget* w : QApplication::topLevelWidgets()) windows.emplace_back(w);
    std::stable_sort(windows.begin(), windows.end(), [](const auto& a, const auto& b) {
      return a->property(kOpened).toULongLong() > b->property(kOpened).toULongLong();
    });
    return windows;
  }

 protected:
  bool eventFilter(QObject* object, QEvent* event) override {
    if (event->type() == QEvent::Show && object->isWidgetType() &&
        static_cast<QWidget*>(object)->isWindow() && !object->property(kOpened).isValid()) {
      object->setProperty(kOpened, ++opened_);
    }
    return false;
  }

 private:
  static constexpr const char* kOpened = "corvantaOpened";
  qulonglong opened_ = 0;
};

class QtToolkit final : public StartupToolkit {
 public:
  QtToolkit() { new WindowOrder(qApp); }
  void ShowSplash() override {
    splash_ = new FrmSplash;
    splash_->show();
    splash_->repaint();
    // Let the window system map and paint the splash; no input is handled before Main returns.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  }
  void CloseSplash() override {
    if (splash_) splash_->close();
  }
  MainWindow& CreateMainWindow(const WindowHandlers& handlers) override {
    frm_ = new FrmMain;
    frm_->setAttribute(Qt::WA_DeleteOnClose);
    frm_->handlers = handlers;
    frm_->Form_Load();
    return *frm_;
  }
  void ShowMainWindow() override { frm_->show(); }
  void Post(std::function<void()> action) override {
    QTimer::singleShot(0, qApp, [window = frm_, action = std::move(action)] {
      if (window) Guarded(action);
    });
  }
  void CloseMainWindow() override {
    if (frm_) frm_->close();
  }
  void DestroyMainWindow() override {
    // With nothing sounding the closing asked for is granted at once.
    if (frm_) frm_->close();
  }
  void CloseOtherWindows() override {
    for (const QPointer<QWidget>& w : WindowOrder::LatestFirst()) {
      // A window may have taken another with it as it closed.
      if (!w || w->objectName() == "frmMain" || !w->isVisible()) continue;
      w->close();
    }
  }
  void ShowHelpContents() override { mnuHelpContents_Click(); }
  void ShowHelpIndex() override { mnuHelpSearchForHelpOn_Click(); }
  void ShowAbout() override { mnuHelpAbout_Click(); }

  FrmMain* window() const { return frm_; }

 private:
  QPointer<FrmSplash> splash_;
  QPointer<FrmMain> frm_;
};

}  // namespace

FrmMain* Main() {
  static QtToolkit toolkit;
  RunStartup(toolkit);
  return toolkit.window();
}

}  // namespace corvanta
