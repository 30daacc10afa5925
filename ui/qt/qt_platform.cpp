#include "ui/qt/qt_platform.h"

#include <QApplication>
#include <QMessageBox>
#include <QWidget>

namespace corvanta {

void QtPlatform::DoEvents() {
  ProcessPendingMessages();
}

void ProcessPendingMessages() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  // What that pass posted (the link events it read from the socket) runs now too, not at the
  // next pass: after the last symbol of a character there is none inside the transmission.
  QCoreApplication::sendPostedEvents();
}

void QtPlatform::MessageBox(const std::string& text, const std::string& title, MsgIcon icon) {
  QMessageBox box(QApplication::activeWindow());
  box.setWindowTitle(QString::fromStdString(title));
  box.setText(QString::fromStdString(text));
  box.setStandardButtons(QMessageBox::Ok);
  switch (icon) {
    case MsgIcon::kNone:
      box.setIcon(QMessageBox::NoIcon);
      break;
    case MsgIcon::kInformation:
      box.setIcon(QMessageBox::Information);
      break;
    case MsgIcon::kWarning:
      box.setIcon(QMessageBox::Warning);
      break;
    case MsgIcon::kCritical:
      box.setIcon(QMessageBox::Critical);
      break;
  }
  box.exec();
}

}  // namespace corvanta
