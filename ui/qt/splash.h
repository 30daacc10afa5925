#pragma once
// frmSplash: shown while start-up runs, with no title bar and nothing to click.
#include <QWidget>

namespace corvanta {

class FrmSplash final : public QWidget {
  Q_OBJECT

 public:
  FrmSplash();
  void Form_Load();
};

}  // namespace corvanta
