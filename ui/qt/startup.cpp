#include "ui/qt/startup.h"

#include <QApplication>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include "ui/qt/about_help.h"
#include "ui/qt/main_window.h"
#include "ui/qt/splash.h"

namespace corvanta {
namespace {

class QtToolkit final : public StartupToolkit {
 public:
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
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (auto it = windows.crbegin(); it != windows.crend(); ++it) {
      QWidget* w = *it;
      if (w->objectName() == "frmMain" || !w->isVisible()) continue;
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
