// The real main window, splash, About and Help on Qt's offscreen platform, with the recording
// sound backend and a clock that does not really sleep.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <fstream>
#include <iterator>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

#include "audio/audio_state.h"
#include "core/platform.h"
#include "core/state.h"
#include "core/station_log.h"
#include "core/transmissions.h"
#include "settings/settings.h"
#include "support/fakes/recording_sound.h"
#include "support/fakes/test_world.h"
#include "support/fakes/virtual_platform.h"
#include "ui/qt/about_help.h"
#include "ui/qt/help_viewer.h"
#include "ui/qt/main_window.h"
#include "ui/qt/one_copy.h"
#include "ui/qt/signals.h"
#include "ui/qt/startup.h"

namespace corvanta {
namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

const char* kExampleFile = "2\r\nTest-Sink\r\n 100 \r\n 250 \r\n 700 \r\n 0 \r\nk\r\nt\r\n 0 \r\n";

// The station log's texts, without their time stamps.
std::vector<std::string> LoggedTexts(const QString& file) {
  return testing::LoggedTexts(file.toStdString());
}

// A window of the program's that notes when it is closed.
class NotedWindow final : public QWidget {
 public:
  NotedWindow(const QString& name, QStringList& closed) : closed_(closed) {
    setObjectName(name);
    setAttribute(Qt::WA_DeleteOnClose);
  }

 protected:
  void closeEvent(QCloseEvent* event) override {
    closed_ << objectName();
    QWidget::closeEvent(event);
  }

 private:
  QStringList& closed_;
};

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  // Window messages are real; sleeps only move the virtual clock; message boxes are recorded.
  testing::VirtualPlatform platform_;
  std::unique_ptr<ScopedPlatform> installed_;
  std::unique_ptr<testing::RecordingSoundBackend> sound_;
  QPointer<FrmMain> frm_;

  std::string CfgPath() const { return dir_.filePath("corvanta.cfg").toStdString(); }
  template <typename T>
  T* Child(const char* name) const {
    T* c = frm_->findChild<T*>(name);
    if (c == nullptr) qFatal("no control %s", name);
    return c;
  }
  void Start() {
    frm_ = Main();
    QVERIFY(frm_ != nullptr);
  }

 private slots:
  void init() {
    ResetProcessState();
    ResetAudioState();
    platform_ = testing::VirtualPlatform{};
    platform_.window_messages = [] { QCoreApplication::processEvents(); };
    // A test that starts afresh calls this again: the scope held goes first, or its end would put
    // the real clock back under the new one.
    installed_.reset();
    installed_ = std::make_unique<ScopedPlatform>(platform_);
    sound_ = std::make_unique<testing::RecordingSoundBackend>();
    sound_->devices() = {"Built-in Audio", "Test-Sink"};
    Audio.Backend = sound_.get();
    SetSettingsPath(CfgPath());
    QFile::remove(dir_.filePath("corvanta.cfg"));
  }

  void cleanup() {
    for (QWidget* w : QApplication::topLevelWidgets()) w->close();
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    delete frm_.data();  // closed windows delete themselves; one that stayed open goes here
    ResetAudioState();
    installed_.reset();
    SetMainWindowRef(nullptr);
  }

  void captionsAfterLoadAndTestDisabled() {
    Start();
    QCOMPARE(Child<QPushButton>("cmdExit")->text(), QString("Ex&it"));
    QCOMPARE(Child<QPushButton>("CmdSend")->text(), QString("Sen&d"));
    QCOMPARE(Child<QPushButton>("cmdEchoLink")->text(), QString("Start"));
    QCOMPARE(Child<QPushButton>("cmdTest")->text(), QString("Test"));
    QVERIFY(!Child<QPushButton>("cmdTest")->isEnabled());
    QVERIFY(!Child<QPushButton>("CmdSend")->isVisible());
    QVERIFY(!Child<QLabel>("picTX")->isVisible());
    QVERIFY(!Child<QLabel>("picRX")->isVisible());
    QCOMPARE(frm_->windowTitle(), QString("Corvanta"));
    QCOMPARE(frm_->centralWidget()->size(), QSize(490, 184));
    QCOMPARE(Child<QSlider>("sldFreq")->accessibleName(), QString("Frequency"));
    // The Help menu in its order, with the trailing space of About.
    QMenu* help = frm_->findChild<QMenu*>("mnuHelp");
    QVERIFY(help != nullptr);
    QStringList items;
    for (QAction* a : help->actions()) items << (a->isSeparator() ? "-" : a->text());
    QCOMPARE(items, QStringList({"&Contents", "&Search For Help On...", "-", "&About "}));
  }

  void slidersWriteTheirLabelsAndSettings() {
    Start();
    auto* speed = Child<QSlider>("sldSpeed");
    auto* speed_label = Child<QLabel>("TextSpeed");
    // Loading left it at 100, so that one comes last (a slider reports only a change).
    const std::pair<int, const char*> speeds[] = {{0, "0 WPM"}, {200, "41 WPM"}, {100, "20 WPM"}};
    for (const auto& [position, text] : speeds) {
      speed->setValue(position);
      QCOMPARE(speed_label->text(), QString(text));
      QCOMPARE(int{Settings.SpeedSetting}, position);
    }
    auto* freq = Child<QSlider>("sldFreq");
    freq->setValue(1000);
    QCOMPARE(Child<QLabel>("textFreq")->text(), QString("1000 hz"));
    freq->setValue(1250);
    QCOMPARE(Child<QLabel>("textFreq")->text(), QString("1.25 Khz"));
    QCOMPARE(int{Settings.ToneFrequency}, 1250);
    auto* volume = Child<QSlider>("HScroll2");
    volume->setValue(0);
    QCOMPARE(Child<QLabel>("lblVolumeValue")->text(), QString("0%"));
    QCOMPARE(int{Settings.Volume}, 0);
    // Keys move the slider and report at once, like the program does.
    volume->setFocus();
    QTest::keyClick(volume, Qt::Key_PageUp);
    QCOMPARE(int{Settings.Volume}, 5);
  }

  void loadedLabelsCarryTheSignSpaceAndVolumeZeroStaysEmpty() {
    WriteAll(CfgPath(), kExampleFile);
    Start();
    QCOMPARE(Child<QLabel>("TextSpeed")->text(), QString(" 20 WPM"));
    QCOMPARE(Child<QLabel>("textFreq")->text(), QString(" 700 hz"));
    QCOMPARE(Child<QLabel>("lblVolumeValue")->text(), QString(""));
    QCOMPARE(Child<QLineEdit>("txtTX")->text(), QString("k"));
    QCOMPARE(Child<QLineEdit>("txtRX")->text(), QString("t"));
    QCOMPARE(Child<QComboBox>("cmboDevice")->currentText(), QString("Test-Sink"));
    QCOMPARE(Settings.DeviceIndex, std::string("2"));
    // Start-up opened no device.
    QVERIFY(sound_->CallsNamed("DirectSoundCreate").empty());
  }

  void emptyBoxWhileLoadingKeepsTheCharacter() {
    Start();
    Flags.IsLoading = kTrue;
    Settings.TxCourtesyText = std::string(1, 'k');
    Child<QLineEdit>("txtTX")->setText("x");
    Child<QLineEdit>("txtTX")->setText("");
    QCOMPARE(Settings.TxCourtesyText, std::string("x"));
    Flags.IsLoading = kFalse;
    Child<QLineEdit>("txtTX")->setText("y");
    Child<QLineEdit>("txtTX")->setText("");
    QCOMPARE(Settings.TxCourtesyText, std::string(""));
  }

  void startUpStatusTextsInOrder() {
    Start();
    const std::vector<std::string> expected{
        "Link program not connected: no link program is configured", "Loading Direct Sound Drivers",
        "Direct Sound Devices Loaded"};
    QCOMPARE(frm_->StatusHistory(), expected);
    QCOMPARE(platform_.NowMs(), std::int64_t{1000});  // the splash pause
    QVERIFY(QApplication::topLevelWidgets().size() >= 1);
    for (QWidget* w : QApplication::topLevelWidgets()) {
      QVERIFY2(w->objectName() != "frmSplash" || !w->isVisible(), "splash still shown");
    }
  }

  void startUpReportsRepairedSettingsLast() {
    WriteAll(CfgPath(), "1\r\nX\r\n 100 \r\n 0 \r\n 700 \r\n 0 \r\nk\r\nt\r\n 50 \r\n");
    Start();
    QCOMPARE(frm_->StatusText(), std::string("Settings: DotBase 0 -> 250"));
  }

  void exitSavesOnlyWithADeviceChosen() {
    Start();  // first start: the default file is written
    const std::string first = ReadAll(CfgPath());
    Child<QSlider>("sldSpeed")->setValue(150);
    QTest::mouseClick(Child<QPushButton>("cmdExit"), Qt::LeftButton);
    frm_ = nullptr;  // closed and deleted itself
    QCOMPARE(ReadAll(CfgPath()), first);

    init();
    WriteAll(CfgPath(), kExampleFile);
    Start();
    Child<QSlider>("sldSpeed")->setValue(150);
    QPointer<FrmMain> alive(frm_);
    QTest::mouseClick(Child<QPushButton>("cmdExit"), Qt::LeftButton);
    frm_ = nullptr;
    QTRY_VERIFY(alive.isNull());
    QCOMPARE(ReadAll(CfgPath()),
             std::string("2\r\nTest-Sink\r\n 150 \r\n 250 \r\n 700 \r\n 0 \r\nk\r\nt\r\n 0 \r\n"));
  }

  void closeBoxDoesNotSave() {
    WriteAll(CfgPath(), kExampleFile);
    Start();
    Child<QSlider>("sldSpeed")->setValue(150);
    frm_->close();
    frm_ = nullptr;
    QCOMPARE(ReadAll(CfgPath()), std::string(kExampleFile));
  }

  void aboutShowsItsTextsAndClosesOnEnterAndEsc() {
    Start();
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
      QString title, version, description;
      bool was_modal = false;
      QTimer::singleShot(0, [&] {
        auto* about = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        QVERIFY(about != nullptr);
        was_modal = about->isModal();
        title = about->findChild<QLabel*>("lblTitle")->text();
        version = about->findChild<QLabel*>("lblVersion")->text();
        description = about->findChild<QLabel*>("lblDescription")->text();
        QTest::keyClick(about, key);
      });
      mnuHelpAbout_Click();  // returns when the window has closed
      QVERIFY(was_modal);
      QCOMPARE(title, QString("Corvanta"));
      QCOMPARE(version, QString("Version 1.0.22"));
      QVERIFY(
          description.startsWith("Echolink Courtesy Tone generator.\n\nThis system will "
                                 "generate the desired Morse code courtesy tone when an RF "
                                 "single ends or\nthe Internet stops transmitting to the link "
                                 "station.\n\n"));
      QCOMPARE(QApplication::activeModalWidget(), nullptr);
    }
  }

  // The About window is modal; asked for while a transmission keys the link, it opens only
  // once the key is released, and only once however often it was asked for.
  void aboutDuringATransmissionOpensAfterIt() {
    Start();
    int opened = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&opened] {
      if (auto* about = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        ++opened;
        about->reject();
      }
    });
    poll.start(10);
    {
      TransmissionScope keyed;
      frm_->findChild<QAction*>("mnuHelpAbout")->trigger();
      frm_->findChild<QAction*>("mnuHelpAbout")->trigger();
      QTest::qWait(50);
      QCOMPARE(opened, 0);
    }
    QCOMPARE(opened, 1);
  }

  // SIGTERM while the splash is up, before there is a main window to close, still ends the
  // program once start-up has returned.
  void aSignalDuringTheSplashClosesTheWindowAfterStartUp() {
    CloseOnSignals(qApp);
    ::raise(SIGTERM);
    Start();
    QVERIFY(CloseSignalSeen());  // read while the splash was up
    QPointer<FrmMain> frm = frm_;
    QVERIFY(frm->isVisible());
    StartupFinished();
    QTRY_VERIFY(frm == nullptr || !frm->isVisible());
  }

  void helpCommandsAskForContentsAndIndex() {
    Start();
    std::vector<std::pair<std::uint32_t, std::string>> calls;
    HelpCall real = HelpCaller();
    HelpCaller() = [&calls](std::intptr_t, const std::string& file, std::uint32_t command,
                            const char* data) {
      calls.emplace_back(command, data);
      return !file.empty();
    };
    frm_->findChild<QAction*>("mnuHelpContents")->trigger();
    frm_->findChild<QAction*>("mnuHelpSearchForHelpOn")->trigger();
    HelpCaller() = real;
    QCOMPARE(calls.size(), std::size_t{2});
    QCOMPARE(calls[0].first, std::uint32_t{3});
    QCOMPARE(calls[0].second, std::string(""));
    QCOMPARE(calls[1].first, std::uint32_t{261});
    QCOMPARE(calls[1].second, std::string(""));
    QVERIFY(platform_.messages.empty());
  }

  void emptyHelpFileNameGivesTheSameMessageForBoth() {
    Start();
    const std::string saved = HelpFile();
    HelpFile().clear();
    frm_->findChild<QAction*>("mnuHelpContents")->trigger();
    frm_->findChild<QAction*>("mnuHelpSearchForHelpOn")->trigger();
    HelpFile() = saved;
    QCOMPARE(platform_.messages.size(), std::size_t{2});
    for (const auto& m : platform_.messages) {
      QCOMPARE(m.text, std::string("Unable to display Help Contents. There is no Help associated "
                                   "with this project."));
      QCOMPARE(m.title, std::string("Corvanta"));
      QVERIFY(m.icon == MsgIcon::kInformation);
    }
  }

  // Help used between two symbols of a courtesy: the box waits for the release, as every box does.
  void helpMessageDuringATransmissionWaitsForItsEnd() {
    Start();
    struct Restore {
      std::string saved = HelpFile();
      ~Restore() { HelpFile() = saved; }
    } restore;
    HelpFile().clear();
    {
      TransmissionScope transmission;
      frm_->findChild<QAction*>("mnuHelpContents")->trigger();
      QVERIFY(platform_.messages.empty());
      QCOMPARE(frm_->StatusText(), std::string("Unable to display Help Contents. There is no Help "
                                               "associated with this project."));
    }
    QCOMPARE(platform_.messages.size(), std::size_t{1});
  }

  void helpWindowShowsTheBuiltFileAndReportsAMissingOne() {
    Start();
    QVERIFY(QFile::exists(QString::fromStdString(HelpFile())));
    frm_->findChild<QAction*>("mnuHelpSearchForHelpOn")->trigger();
    HelpViewer& viewer = HelpViewer::Instance();
    QVERIFY(viewer.isVisible());
    QVERIFY(viewer.Loaded());
    QCOMPARE(viewer.findChild<QTabWidget*>()->currentIndex(), 1);
    QCOMPARE(viewer.findChild<QLineEdit*>("helpKeyword")->text(), QString(""));
    QTRY_VERIFY(viewer.PageText().contains("courtesy"));
    frm_->findChild<QAction*>("mnuHelpContents")->trigger();
    QCOMPARE(viewer.findChild<QTabWidget*>()->currentIndex(), 0);

    WinHelpA(0, dir_.filePath("missing.HLP").toStdString(), HELP_CONTENTS, "");
    QVERIFY(!viewer.Loaded());
    QVERIFY(viewer.PageText().contains("cannot be opened"));
    delete &viewer;
  }

  // The log's last words on a closing: Exit says what it saved, and its own closing of the window
  // is not taken for the close box, which says that nothing was saved.
  void theLogEndsWithWhatClosedTheWindow() {
    struct Case {
      const char* how;
      bool exit;
      std::vector<std::string> last;  // from the first line that tells the closing
    };
    const Case cases[] = {
        {"Exit", true, {"Exit: settings saved"}},
        {"close box", false, {"Window closed without Exit: settings not saved"}},
    };
    for (const Case& c : cases) {
      init();
      WriteAll(CfgPath(), kExampleFile);
      const QString log = dir_.filePath(QString("%1.log").arg(c.how));
      OpenStationLog(log.toStdString());
      Start();
      QPointer<FrmMain> alive(frm_);
      if (c.exit) {
        QTest::mouseClick(Child<QPushButton>("cmdExit"), Qt::LeftButton);
      } else {
        frm_->close();
      }
      frm_ = nullptr;
      QTRY_VERIFY(alive.isNull());
      CloseStationLog();
      const std::vector<std::string> texts = LoggedTexts(log);
      const auto closing = std::find_if(texts.begin(), texts.end(), [](const std::string& t) {
        return t.rfind("Exit", 0) == 0 || t.rfind("Window closed", 0) == 0;
      });
      QVERIFY2(std::vector<std::string>(closing, texts.end()) == c.last, c.how);
    }
  }

  // Closing the main window closes the program's other windows, the one opened last first.
  void otherWindowsCloseTheLatestFirst() {
    Start();
    QStringList closed;
    const QStringList opened{"first", "second", "third", "fourth", "fifth", "sixth"};
    for (const QString& name : opened) (new NotedWindow(name, closed))->show();
    frm_->close();
    frm_ = nullptr;
    QCOMPARE(closed, QStringList({"sixth", "fifth", "fourth", "third", "second", "first"}));
  }

  // Two outputs of one name: the one the operator picked by its position is the one opened,
  // also once the focus has passed through the box, which shows only the name.
  void ofTwoOutputsOfOneNameThePickedOneIsOpened() {
    struct Case {
      const char* how;
      const char* file;  // the settings at start-up
      int picked;        // the list entry clicked, -1 for none
    };
    const Case cases[] = {
        {"kept in the settings",
         "3\r\nUSB Audio CODEC\r\n 100 \r\n 250 \r\n 700 \r\n 0 \r\nk\r\nt\r\n 0 \r\n", -1},
        {"picked in the list", kExampleFile, 2},
    };
    for (const Case& c : cases) {
      init();
      sound_->devices() = {"Built-in Audio", "USB Audio CODEC", "USB Audio CODEC"};
      WriteAll(CfgPath(), c.file);
      Start();
      QApplication::setActiveWindow(frm_);
      auto* box = Child<QComboBox>("cmboDevice");
      if (c.picked >= 0) {
        box->setCurrentIndex(c.picked);
        emit box->activated(c.picked);
      }
      box->setFocus();
      Child<QSlider>("sldSpeed")->setFocus();
      QCoreApplication::processEvents();
      QTest::mouseClick(Child<QPushButton>("cmdEchoLink"), Qt::LeftButton);
      const auto opened = sound_->CallsNamed("DirectSoundCreate");
      QVERIFY2(!opened.empty(), c.how);
      QVERIFY2(opened.back().text == testing::RecordingSoundBackend::GuidFor("USB Audio CODEC", 2),
               c.how);
      QVERIFY2(Settings.DeviceIndex == "3", c.how);
      cleanup();
    }
  }

  // One claim per link, however its endpoint is written: a relative socket path is read against
  // the current folder, "." and ".." are taken out, and localhost is 127.0.0.1.
  void oneClaimPerLinkHoweverItIsWritten() {
    const QString folder = dir_.filePath("claims");
    struct Restore {
      QString folder = QDir::currentPath();
      ~Restore() { QDir::setCurrent(folder); }
    } restore;
    QVERIFY(QDir::setCurrent(dir_.path()));
    const std::string here = dir_.path().toStdString();
    struct Case {
      std::string first;
      std::string second;
      bool same;
    };
    const Case cases[] = {
        {"unix:" + here + "/link.sock", "unix:link.sock", true},
        {"unix:" + here + "/link.sock", "unix:./x/../link.sock", true},
        {"unix:./link.sock", "unix:" + here + "//y/.//..//link.sock", true},
        {"tcp:localhost:5400", "tcp:127.0.0.1:5400", true},
        {"unix:" + here + "/link.sock", "unix:other.sock", false},
        {"unix:link.sock", "unix:x/link.sock", false},
        {"tcp:127.0.0.1:5400", "tcp:127.0.0.1:5401", false},
        {"tcp:127.0.0.1:5400", "tcp:127.0.0.2:5400", false},
    };
    for (const Case& c : cases) {
      const std::string what = c.first + " then " + c.second;
      LinkClaim first(folder, c.first);
      QVERIFY2(first.claimed(), what.c_str());
      QVERIFY2(LinkClaim(folder, c.second).claimed() != c.same, what.c_str());
    }
  }

  // In the shared temporary folder the claim's folder is used only when it is this user's own
  // and closed to everybody else; any other is left as it is, and said why.
  void aClaimFolderInASharedPlaceMustBePrivate() {
    struct Case {
      const char* what;
      int mode;  // -1: not there
      bool other_owner;
      bool link;  // a symbolic link to a private folder
      bool used;
    };
    const Case cases[] = {
        {"made now", -1, false, false, true},
        {"private", 0700, false, false, true},
        {"readable by others", 0755, false, false, false},
        {"writable by the group", 0770, false, false, false},
        {"writable by all", 0777, false, false, false},
        {"another user's", 0700, true, false, false},
        {"a link to a private folder", 0700, false, true, false},
    };
    int n = 0;
    for (const Case& c : cases) {
      const QString folder = dir_.filePath(QString("shared-%1").arg(++n));
      const QByteArray path = folder.toLocal8Bit();
      if (c.mode >= 0) {
        const QByteArray made = c.link ? path + "-target" : path;
        QVERIFY(::mkdir(made.constData(), static_cast<mode_t>(c.mode)) == 0);
        QVERIFY(::chmod(made.constData(), static_cast<mode_t>(c.mode)) == 0);
        if (c.link) QVERIFY(::symlink(made.constData(), path.constData()) == 0);
      }
      if (c.other_owner) {
        if (::geteuid() != 0) continue;  // only the superuser can give a folder away
        QVERIFY(::chown(path.constData(), 65534, 65534) == 0);
      }
      LinkClaim claim(folder, "unix:/run/link.sock", true);
      QVERIFY2(claim.claimed(), c.what);  // the copy runs all the same
      QVERIFY2(claim.error().contains("is not private to this user") != c.used,
               qPrintable(QString(c.what) + ": " + claim.error()));
      QVERIFY2(LinkClaim(folder, "unix:/run/link.sock", true).claimed() != c.used, c.what);
      if (!c.used) {
        QVERIFY2(
            QDir(folder)
                .entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot)
                .isEmpty(),
            c.what);
      }
    }
  }

  // One copy per link: a second claim for the same endpoint fails and brings the first forward;
  // another link, or a claim left by a copy that ended, is taken.
  void oneCopyPerLinkInOneProcess() {
    const QString folder = dir_.filePath("claims");
    int shown = 0;
    auto first = std::make_unique<LinkClaim>(folder, "unix:/run/a.sock");
    QVERIFY(first->claimed());
    first->OnSecondCopy([&shown] { ++shown; });
    LinkClaim second(folder, "unix:/run/a.sock");
    QVERIFY(!second.claimed());
    QVERIFY(second.AskFirstCopyToShow());
    QTRY_COMPARE(shown, 1);
    QVERIFY(LinkClaim(folder, "unix:/run/b.sock").claimed());
    first.reset();
    LinkClaim after(folder, "unix:/run/a.sock");
    QVERIFY(after.claimed());
    QVERIFY(!LinkClaim(folder, "unix:/run/a.sock").AskFirstCopyToShow());  // nobody listens
  }

  // The program itself, twice for one link and once for another: the second ends at once and
  // says why; the third runs.
  void aSecondProgramForTheSameLinkEnds() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", dir_.path());
    env.insert("XDG_CONFIG_HOME", dir_.filePath("config"));
    env.insert("SDL_AUDIODRIVER", "dummy");
    const auto start = [&env](const QString& link) {
      auto p = std::make_unique<QProcess>();
      p->setProcessEnvironment(env);
      p->start(CORVANTA_PROGRAM, {"--link", link});
      return p;
    };
    const QString a = "unix:" + dir_.filePath("a.sock"), b = "unix:" + dir_.filePath("b.sock");
    auto first = start(a);
    QVERIFY(first->waitForStarted(5000));
    const QString claims = qEnvironmentVariable("XDG_RUNTIME_DIR") + "/corvanta";
    QTRY_VERIFY_WITH_TIMEOUT(!QDir(claims).entryList({"link-*.sock"}, QDir::System).isEmpty(),
                             10000);
    auto second = start(a);
    QVERIFY(second->waitForFinished(10000));
    QCOMPARE(second->exitCode(), 1);
    const QString said = second->readAllStandardError();
    QVERIFY2(said.contains("already running for the link " + a +
                           "; its window was brought to the front"),
             qPrintable(said));
    auto third = start(b);
    QVERIFY(!third->waitForFinished(3000));  // still running: another link
    for (auto* p : {first.get(), third.get()}) {
      QCOMPARE(p->state(), QProcess::Running);
      p->terminate();
      QVERIFY(p->waitForFinished(10000));
    }
  }
};

}  // namespace corvanta

int main(int argc, char** argv) {
  QTemporaryDir runtime;
  QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  corvanta::WindowTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "window_test.moc"
