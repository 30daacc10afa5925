#include "ui/qt/help_viewer.h"

#include <QFileInfo>
#include <QHelpContentWidget>
#include <QHelpEngine>
#include <QHelpIndexWidget>
#include <QHelpLink>
#include <QLineEdit>
#include <QSplitter>
#include <QTabWidget>
#include <QTextBrowser>
#include <QVBoxLayout>

#include "core/errors.h"
#include "ui/qt/artwork.h"

namespace corvanta {
namespace {

// A page view that reads the help file's own pages and pictures.
class HelpBrowser final : public QTextBrowser {
 public:
  explicit HelpBrowser(QHelpEngine*& engine) : engine_(engine) {}
  QVariant loadResource(int type, const QUrl& url) override {
    if (engine_ != nullptr && url.scheme() == "qthelp") return engine_->fileData(url);
    return QTextBrowser::loadResource(type, url);
  }

 private:
  QHelpEngine*& engine_;
};

HelpViewer* g_instance = nullptr;

}  // namespace

HelpViewer& HelpViewer::Instance() {
  if (g_instance == nullptr) g_instance = new HelpViewer;
  return *g_instance;
}

HelpViewer::HelpViewer() {
  setObjectName("frmHelp");
  setWindowTitle("Corvanta Help");
  setWindowIcon(AppIcon());
  setAttribute(Qt::WA_QuitOnClose, false);
  if (!collection_dir_.isValid()) throw WindowError("No folder for the help collection");

  tabs_ = new QTabWidget;
  auto* contents_holder = new QWidget;
  contents_holder->setObjectName("helpContents");
  new QVBoxLayout(contents_holder);
  auto* index_holder = new QWidget;
  index_holder->setObjectName("helpIndex");
  auto* index_layout = new QVBoxLayout(index_holder);
  keyword_ = new QLineEdit;
  keyword_->setObjectName("helpKeyword");
  keyword_->setPlaceholderText("Type a keyword");
  index_layout->addWidget(keyword_);
  tabs_->addTab(contents_holder, "&Contents");
  tabs_->addTab(index_holder, "&Index");

  page_ = new HelpBrowser(engine_);
  page_->setObjectName("helpPage");
  page_->setOpenExternalLinks(false);

  auto* split = new QSplitter;
  split->addWidget(tabs_);
  split->addWidget(page_);
  split->setStretchFactor(1, 3);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(split);
  resize(760, 520);
}

HelpViewer::~HelpViewer() {
  if (g_instance == this) g_instance = nullptr;
}

void HelpViewer::Load(const QString& help_file) {
  if (loaded_ && help_file == file_) return;
  file_ = help_file;
  loaded_ = false;
  delete engine_;
  engine_ = nullptr;

  const QFileInfo info(help_file);
  if (!info.isFile() || !info.isReadable()) {
    page_->setPlainText("The help file " + help_file +
                        " cannot be opened: it is missing or unreadable.");
    return;
  }
  const QString collection = collection_dir_.filePath("corvanta-help.qhc");
  QFile::remove(collection);
  engine_ = new QHelpEngine(collection, this);
  // A help engine opens its collection read-only unless told otherwise; this one is ours to fill.
  engine_->setReadOnly(false);
  if (!engine_->setupData() || !engine_->registerDocumentation(help_file)) {
    page_->setPlainText("The help file " + help_file + " cannot be read: " + engine_->error());
    delete engine_;
    engine_ = nullptr;
    return;
  }
  engine_->setupData();

  QWidget* contents_holder = tabs_->widget(0);
  QHelpContentWidget* contents = engine_->contentWidget();
  contents->setObjectName("helpContentTree");
  contents_holder->layout()->addWidget(contents);
  connect(contents, &QHelpContentWidget::linkActivated, this, &HelpViewer::Open);

  QHelpIndexWidget* index = engine_->indexWidget();
  index->setObjectName("helpIndexList");
  tabs_->widget(1)->layout()->addWidget(index);
  connect(keyword_, &QLineEdit::textChanged, index,
          [index](const QString& k) { index->filterIndices(k); });
  connect(index, &QHelpIndexWidget::documentActivated, this,
          [this](const QHelpLink& link, const QString&) { Open(link.url); });
  connect(keyword_, &QLineEdit::returnPressed, index, &QHelpIndexWidget::activateCurrentItem);

  engine_->contentModel()->createContents(QString());
  engine_->indexModel()->createIndex(QString());
  loaded_ = true;

  // Start on the first page of the file.
  const QList<QUrl> pages = engine_->files(engine_->namespaceName(help_file), QString(), "html");
  QUrl first;
  for (const QUrl& u : pages) {
    if (u.fileName() == "index.html") first = u;
  }
  if (first.isEmpty() && !pages.isEmpty()) first = pages.front();
  if (!first.isEmpty()) Open(first);
}

void HelpViewer::Open(const QUrl& url) {
  page_->setSource(url);
}

void HelpViewer::ShowContents(const QString& help_file) {
  Load(help_file);
  tabs_->setCurrentIndex(0);
  show();
  raise();
  activateWindow();
}

void HelpViewer::ShowIndex(const QString& help_file, const QString& keyword) {
  Load(help_file);
  tabs_->setCurrentIndex(1);
  keyword_->setText(keyword);
  keyword_->setFocus();
  show();
  raise();
  activateWindow();
}

QString HelpViewer::PageText() const {
  return page_->toPlainText();
}

}  // namespace corvanta
