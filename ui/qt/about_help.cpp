#include "ui/qt/about_help.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <cmath>
#include <exception>

#include "core/main_window.h"
#include "core/platform.h"
#include "core/state.h"
#include "ui/qt/artwork.h"
#include "ui/qt/help_viewer.h"
#include "ui/qt/twips.h"

#ifndef CORVANTA_HELP_FILE
#define CORVANTA_HELP_FILE ""
#endif

namespace corvanta {
namespace {

constexpr const char* kNoHelp =
    "Unable to display Help Contents. There is no Help associated with this project.";

void ShowHelp(std::uint32_t command) {
  const std::string& file = HelpFile();
  if (file.empty()) {
    // Titled with the main window's caption, as the menu belongs to it; waits for the end of a
    // transmission the menu was used in, so the key is never held by an open box.
    MsgBox(kNoHelp, MsgIcon::kInformation);
    return;
  }
  try {
    static const char kEmptyKeyword[] = "";
    const std::intptr_t window = MainWindowRef() != nullptr ? MainWindowRef()->Handle() : 0;
    HelpCaller()(window, file, command, kEmptyKeyword);
  } catch (const std::exception& e) {
    MsgBox(e.what(), MsgIcon::kNone);
  }
}

}  // namespace

std::string& HelpFile() {
  static std::string file = CORVANTA_HELP_FILE;
  return file;
}

bool WinHelpA(std::intptr_t, const std::string& help_file, std::uint32_t command,
              const char* data) {
  HelpViewer& viewer = HelpViewer::Instance();
  const QString file = QString::fromStdString(help_file);
  if (command == HELP_PARTIALKEY) {
    viewer.ShowIndex(file, QString::fromUtf8(data != nullptr ? data : ""));
  } else {
    viewer.ShowContents(file);
  }
  return true;
}

HelpCall& HelpCaller() {
  static HelpCall call = &WinHelpA;
  return call;
}

void mnuHelpContents_Click() {
  ShowHelp(HELP_CONTENTS);
}
void mnuHelpSearchForHelpOn_Click() {
  ShowHelp(HELP_PARTIALKEY);
}

void mnuHelpAbout_Click() {
  QWidget* owner = QApplication::activeWindow();
  if (auto* main = dynamic_cast<QWidget*>(MainWindowRef())) owner = main;
  // Built anew for every opening; closing it destroys it.
  auto* about = new FrmAbout(owner);
  about->setAttribute(Qt::WA_DeleteOnClose);
  about->exec();
}

std::string AboutDescription() {
  return "Echolink Courtesy Tone generator.\n\n"
         "This system will generate the desired Morse code courtesy tone when an RF single ends "
         "or\n"
         "the Internet stops transmitting to the link station.\n\n"
         "This is useful for confirmation that you have accessed a link or when the Internet "
         "station has finished transmitting.\n\n"
         "Copyright (C) 2026 the Corvanta developers. Free to use on any amateur-radio station.";
}

FrmAbout::FrmAbout(QWidget* owner) : QDialog(owner) {
  setObjectName("frmAbout");
  setWindowTitle("About Corvanta");
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(Px(6300), Px(4365));
  setModal(true);

  auto* picIcon = new QLabel(this);
  picIcon->setObjectName("picIcon");
  picIcon->setGeometry(Twips(240, 240, 540, 540));
  picIcon->setPixmap(IconPixmap(32));
  auto* lblTitle = new QLabel(this);
  lblTitle->setObjectName("lblTitle");
  lblTitle->setGeometry(Twips(1050, 240, 4095, 390));
  QFont title_font = lblTitle->font();
  title_font.setPointSizeF(title_font.pointSizeF() * 1.5);
  title_font.setBold(true);
  lblTitle->setFont(title_font);
  auto* lblVersion = new QLabel(this);
  lblVersion->setObjectName("lblVersion");
  lblVersion->setGeometry(Twips(1020, 615, 4095, 225));
  auto* lblDescription = new QLabel(this);
  lblDescription->setObjectName("lblDescription");
  lblDescription->setGeometry(Twips(1050, 1125, 4095, 2235));
  lblDescription->setWordWrap(true);
  lblDescription->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  for (QLabel* black : {lblTitle, lblDescription}) {
    QPalette pal = black->palette();
    pal.setColor(QPalette::WindowText, Qt::black);
    black->setPalette(pal);
  }
  // An etched separator: a grey line with a white one under it.
  auto* etch_grey = new QFrame(this);
  etch_grey->setObjectName("Line1_1");
  etch_grey->setGeometry(Px(405), Px(3645), Px(5837) - Px(405), 1);
  etch_grey->setStyleSheet("background-color: rgb(128, 128, 128);");
  auto* etch_white = new QFrame(this);
  etch_white->setObjectName("Line1_0");
  etch_white->setGeometry(Px(435), Px(3645) + 1, Px(5852) - Px(435), 2);
  etch_white->setStyleSheet("background-color: white;");
  auto* cmdOK = new QPushButton("OK", this);
  cmdOK->setObjectName("cmdOK");
  cmdOK->setGeometry(Twips(4680, 3855, 1467, 345));
  cmdOK->setDefault(true);
  cmdOK->setAutoDefault(true);
  connect(cmdOK, &QPushButton::clicked, this, &FrmAbout::cmdOK_Click);
  Form_Load();
}

void FrmAbout::Form_Load() {
  findChild<QLabel*>("lblVersion")
      ->setText(
          QString("Version %1.%2.%3").arg(kVersionMajor).arg(kVersionMinor).arg(kVersionRevision));
  findChild<QLabel*>("lblTitle")->setText(kAppTitle);
  findChild<QLabel*>("lblDescription")->setText(QString::fromStdString(AboutDescription()));
}

// Esc rejects a dialog; here it is the OK button's click, as Enter is.
void FrmAbout::cmdOK_Click() {
  done(QDialog::Accepted);
}

}  // namespace corvanta
