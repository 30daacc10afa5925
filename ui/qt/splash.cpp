#include "ui/qt/splash.h"

#include <QGroupBox>
#include <QLabel>
#include <cmath>

#include "core/state.h"
#include "ui/qt/artwork.h"
#include "ui/qt/twips.h"

namespace corvanta {
namespace {

QLabel* Label(QWidget* parent, const char* name, const QRect& where, const QFont& font) {
  auto* l = new QLabel(parent);
  l->setObjectName(name);
  l->setGeometry(where);
  l->setFont(font);
  return l;
}

}  // namespace

FrmSplash::FrmSplash() : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint) {
  setObjectName("frmSplash");
  setFixedSize(Px(6435), Px(3690));
  setAttribute(Qt::WA_DeleteOnClose);
  auto* frame = new QGroupBox(this);
  frame->setObjectName("fraMainFrame");
  frame->setGeometry(Twips(45, -15, 6330, 3630));
  auto* picture = new QLabel(frame);
  picture->setObjectName("Picture1");
  picture->setGeometry(Twips(195, 345, 630, 630));
  picture->setPixmap(IconPixmap(32));
  QLabel* company_product =
      Label(frame, "lblCompanyProduct", Twips(945, 300, 5145, 330), Arial(14.25, true));
  company_product->setText("Link Station Tools");
  company_product->adjustSize();
  Label(frame, "lblProductName", Twips(960, 690, 1200, 360), Arial(15.75, true));
  QLabel* copyright =
      Label(frame, "lblCopyright", Twips(3780, 1455, 2415, 255), Arial(8.25, false));
  copyright->setText("Copyright (C) 2026");
  Label(frame, "lblCompany", Twips(3795, 1710, 2415, 255), Arial(8.25, false));
  QLabel* warning = Label(frame, "lblWarning", Twips(840, 2025, 4650, 1440), font());
  warning->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Form_Load();
}

void FrmSplash::Form_Load() {
  auto* product = findChild<QLabel*>("lblProductName");
  product->setText(
      QString("%1 - Version %2.%3").arg(kAppTitle).arg(kVersionMajor).arg(kVersionMinor));
  product->adjustSize();
  findChild<QLabel*>("lblCompany")->setText("The Corvanta developers");
  findChild<QLabel*>("lblWarning")
      ->setText(
          "Courtesy tones for amateur-radio link stations\n\n"
          "This software is currently in alpha testing\n"
          "Free to use on any amateur-radio station.");
}

}  // namespace corvanta
