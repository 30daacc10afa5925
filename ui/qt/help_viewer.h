#pragma once
// Corvanta's help window: the table of contents, the keyword index with its keyword line, and the
// page view, all read from the compressed help file. A help file that is missing or unreadable is
// reported in the page view of this window itself.
#include <QString>
#include <QTemporaryDir>
#include <QWidget>

class QHelpEngine;
class QLineEdit;
class QTabWidget;
class QTextBrowser;

namespace corvanta {

class HelpViewer final : public QWidget {
  Q_OBJECT

 public:
  // The one help window of the program, made on first use.
  static HelpViewer& Instance();
  ~HelpViewer() override;

  // Loads `help_file` (again only when another file is named) and shows the contents, or the
  // index with `keyword` in its keyword line.
  void ShowContents(const QString& help_file);
  void ShowIndex(const QString& help_file, const QString& keyword);

  // What the page view shows now (for tests and the window's title).
  QString PageText() const;
  bool Loaded() const { return loaded_; }

 private:
  HelpViewer();
  void Load(const QString& help_file);
  void Open(const QUrl& url);

  QString file_;
  bool loaded_ = false;
  QTemporaryDir collection_dir_;
  QHelpEngine* engine_ = nullptr;
  QTabWidget* tabs_ = nullptr;
  QLineEdit* keyword_ = nullptr;
  QTextBrowser* page_ = nullptr;
};

}  // namespace corvanta
