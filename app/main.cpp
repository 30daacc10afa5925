// corvanta: the courtesy-tone keyer's window program.
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <charconv>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "app/autostart.h"
#include "audio/audio_state.h"
#include "audio/pulse/pulse_sound.h"
#include "audio/sdl/sdl_sound.h"
#include "core/errors.h"
#include "core/link.h"
#include "core/main_window.h"
#include "core/platform.h"
#include "core/station_log.h"
#include "core/version.h"
#include "link/rigctld/rigctld_link.h"
#include "link/socket/echolink_object.h"
#include "link/socket/wire.h"
#include "link/startup.h"
#include "settings/settings.h"
#include "ui/qt/about_help.h"
#include "ui/qt/main_window.h"
#include "ui/qt/one_copy.h"
#include "ui/qt/qt_platform.h"
#include "ui/qt/signals.h"
#include "ui/qt/startup.h"

namespace {

constexpr const char* kUsage =
    "Usage: corvanta [--link ENDPOINT] [--squelch hidraw:DEV[:INPUT]] [--squelch-hang MS]\n"
    "                [--start]\n"
    "       corvanta [--link ENDPOINT] --autostart on|off\n"
    "Sends a Morse courtesy character through the link program when a transmission ends.\n\n"
    "Options:\n"
    "  --link ENDPOINT  where the link program listens: unix:PATH or tcp:HOST:PORT (HOST on\n"
    "                   loopback only); default unix:$XDG_RUNTIME_DIR/corvanta/link.sock;\n"
    "                   or rigctld:HOST[:PORT] (port 4532 when left out) to key a radio through\n"
    "                   hamlib's rigctld and take the end of local RF from its squelch (DCD);\n"
    "                   a radio raises no TX event: TX courtesies then come from Test only\n"
    "  --squelch hidraw:/dev/hidrawN[:INPUT]\n"
    "                   with rigctld: read the squelch from a CM108/CM119 USB interface's\n"
    "                   input (voldown by default; volup, playmute, recmute or a bit 0-7; a\n"
    "                   leading ! inverts it) instead of rigctld's DCD\n"
    "  --squelch-hang MS\n"
    "                   with rigctld: how long the squelch must stay closed before the RX\n"
    "                   courtesy (default 300, 0 allowed); shorter flutter gives none\n"
    "  --start          start monitoring once the window is up, as the Start button does\n"
    "  --autostart on|off\n"
    "                   start Corvanta monitoring at logon (an entry in\n"
    "                   $XDG_CONFIG_HOME/autostart running corvanta --start), or stop that;\n"
    "                   then exit\n"
    "  --print-endpoint show the link endpoint that would be used, and exit\n"
    "  --help           show this text and exit\n"
    "  --version        show the version and exit\n\n"
    "The station log: $XDG_STATE_HOME/corvanta/corvanta.log (by default\n"
    "~/.local/state/corvanta/corvanta.log), rotated at 1 MiB, three old files kept.\n"
    "A copy started with a --link other than the default keeps its own settings file, station\n"
    "log and logon entry, named after the link: corvanta-rigctld-4534.cfg, corvanta-tcp-5198.log,\n"
    "corvanta-unix-NAME.desktop.\n";

struct Options {
  std::string link;
  std::string squelch;  // empty: rigctld's own
  int squelch_hang_ms = 300;
  bool print_endpoint = false;
  bool start = false;
  std::string autostart;  // "on", "off" or empty
};

// Reads the command line before any window exists, so --help and --version work without a
// display. Returns an exit status to leave with, or -1 to go on.
int ParseArguments(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (arg == "--version" || arg == "-v") {
      std::cout << "corvanta " << corvanta::kVersionText << '\n';
      return 0;
    }
    if (arg == "--print-endpoint") {
      options.print_endpoint = true;
    } else if (arg == "--start") {
      options.start = true;
    } else if (arg == "--autostart" || arg.rfind("--autostart=", 0) == 0) {
      options.autostart = arg == "--autostart" ? (i + 1 < argc ? argv[++i] : "") : arg.substr(12);
      if (options.autostart != "on" && options.autostart != "off") {
        std::cerr << "corvanta: --autostart takes on or off\n" << kUsage;
        return 2;
      }
    } else if (arg == "--squelch-hang" || arg.rfind("--squelch-hang=", 0) == 0) {
      const std::string value =
          arg == "--squelch-hang" ? (i + 1 < argc ? argv[++i] : "") : arg.substr(15);
      int ms = -1;
      const auto [next, ec] = std::from_chars(value.data(), value.data() + value.size(), ms);
      if (value.empty() || ec != std::errc{} || next != value.data() + value.size() || ms < 0 ||
          ms > 60000) {
        std::cerr << "corvanta: --squelch-hang takes milliseconds from 0 to 60000\n" << kUsage;
        return 2;
      }
      options.squelch_hang_ms = ms;
    } else if (arg == "--squelch" && i + 1 < argc) {
      options.squelch = argv[++i];
    } else if (arg.rfind("--squelch=", 0) == 0) {
      options.squelch = arg.substr(10);
    } else if (arg == "--link" && i + 1 < argc) {
      options.link = argv[++i];
    } else if (arg.rfind("--link=", 0) == 0) {
      options.link = arg.substr(7);
    } else {
      std::cerr << "corvanta: unknown option " << arg << "\n" << kUsage;
      return 2;
    }
  }
  return -1;
}

// "corvanta" for the default link, "corvanta-rigctld-4534" for another: the name of the files
// kept per link (settings, station log, logon entry).
std::string FileStem(const corvanta::wire::Endpoint& endpoint) {
  std::error_code ec;
  const std::filesystem::path here = std::filesystem::current_path(ec);
  const std::string label = corvanta::wire::LinkFileLabel(
      endpoint, corvanta::wire::DefaultEndpoint(std::getenv("XDG_RUNTIME_DIR"), getuid()),
      ec ? std::string("/") : here.string());
  return label.empty() ? "corvanta" : "corvanta-" + label;
}

// --autostart on|off: writes or removes the logon entry, and exits.
int Autostart(const Options& options, const std::string& stem) {
  const std::filesystem::path entry = corvanta::AutostartEntryPath(
      std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"), stem + ".desktop");
  if (entry.empty()) {
    std::cerr << "corvanta: neither XDG_CONFIG_HOME nor HOME is set: no autostart folder\n";
    return 1;
  }
  try {
    if (options.autostart == "off") {
      std::cout << corvanta::RemoveAutostart(entry) << '\n';
      return 0;
    }
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    std::error_code here_ec;
    const std::filesystem::path here = std::filesystem::current_path(here_ec);
    const std::vector<std::string> arguments =
        corvanta::AutostartArguments(options.link, here_ec ? std::string() : here.string());
    const std::string program =
        ec ? std::string("corvanta") : corvanta::AutostartProgram(self, std::getenv("PATH"));
    std::cout << corvanta::WriteAutostart(entry, corvanta::AutostartEntry(program, arguments))
              << '\n';
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "corvanta: " << e.what() << '\n';
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const int status = ParseArguments(argc, argv, options); status >= 0) return status;

  std::string error;
  const std::string endpoint_text =
      options.link.empty()
          ? corvanta::wire::DefaultEndpoint(std::getenv("XDG_RUNTIME_DIR"), getuid())
          : options.link;
  const auto endpoint = corvanta::wire::ParseEndpoint(endpoint_text, error);
  if (!endpoint) {
    std::cerr << "corvanta: " << error << '\n';
    return 2;
  }
  if (options.print_endpoint) {
    std::cout << endpoint_text << '\n';
    return 0;
  }
  const std::string stem = FileStem(*endpoint);
  if (!options.autostart.empty()) return Autostart(options, stem);

  // A link program that goes away must not take Corvanta with it: writes to a closed socket
  // fail with an error instead of a signal.
  std::signal(SIGPIPE, SIG_IGN);

  QApplication app(argc, argv);
  QApplication::setApplicationName("corvanta");
  QApplication::setApplicationVersion(corvanta::kVersionText);

  // One copy per link: a second one would key the same transmitter for every event.
  const char* runtime_dir = std::getenv("XDG_RUNTIME_DIR");
  const bool private_runtime = runtime_dir != nullptr && *runtime_dir != '\0';
  const QString claim_folder = private_runtime ? QString::fromLocal8Bit(runtime_dir) + "/corvanta"
                                               : "/tmp/corvanta-" + QString::number(getuid());
  corvanta::LinkClaim claim(claim_folder, endpoint_text, !private_runtime);
  if (!claim.claimed()) {
    const bool shown = claim.AskFirstCopyToShow();
    std::cerr << "corvanta: already running for the link " << endpoint_text
              << (shown ? "; its window was brought to the front" : "")
              << ". One copy keys a link: this one ends.\n";
    return 1;
  }
  if (!claim.error().isEmpty()) {
    std::cerr << "corvanta: " << claim.error().toStdString()
              << "; a second copy for this link would not be noticed\n";
  }

  corvanta::QtPlatform platform;
  corvanta::ScopedPlatform installed(platform);
  // An installed program keeps its settings with the user's. It is installed when its help file
  // is in the prefix's share folder, unless it runs from the build tree, which has that layout too.
  const bool installed_program = [] {
    const QString dir = QCoreApplication::applicationDirPath();
    const QString build_dir = QFileInfo(QStringLiteral(CORVANTA_BUILD_BIN_DIR)).canonicalFilePath();
    return QFileInfo::exists(QDir(dir).absoluteFilePath(CORVANTA_HELP_RELATIVE)) &&
           (build_dir.isEmpty() || QFileInfo(dir).canonicalFilePath() != build_dir);
  }();
  corvanta::SetSettingsPath(corvanta::ResolveSettingsPath(
      QCoreApplication::applicationDirPath().toStdString(), installed_program,
      std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"), stem + ".cfg"));

  // libpulse (PulseAudio, PipeWire) places every tone where it is heard and tells its path's
  // length; SDL is for a machine with no sound server (plain ALSA), or when asked for by
  // CORVANTA_SOUND_BACKEND=sdl.
  std::unique_ptr<corvanta::SoundBackend> sound;
  const char* wanted_backend = std::getenv("CORVANTA_SOUND_BACKEND");
  if (wanted_backend == nullptr || std::string(wanted_backend) != "sdl") {
    try {
      sound = std::make_unique<corvanta::PulseSoundBackend>();
    } catch (const corvanta::AudioError& e) {
      std::cerr << "corvanta: " << e.what() << "; trying SDL's sound\n";
    }
  }
  if (!sound) {
    try {
      sound = std::make_unique<corvanta::SdlSoundBackend>();
    } catch (const corvanta::AudioError& e) {
      // Start-up reports the missing sound system in the status bar; the window still opens.
      std::cerr << "corvanta: " << e.what() << '\n';
    }
  }
  corvanta::Audio.Backend = sound.get();

  if (endpoint->type == corvanta::wire::Endpoint::Type::kRigctld) {
    corvanta::RigctldOptions radio;
    radio.host = endpoint->host;
    radio.port = endpoint->port;
    radio.status = corvanta::LinkStatus;
    radio.hang_ms = options.squelch_hang_ms;
    if (!options.squelch.empty()) {
      std::string squelch_error;
      radio.hid = corvanta::rigctld::ParseHidSquelch(options.squelch, squelch_error);
      if (!radio.hid) {
        std::cerr << "corvanta: " << squelch_error << '\n';
        return 2;
      }
    }
    radio.guardian = QDir(QCoreApplication::applicationDirPath())
                         .absoluteFilePath("corvanta-guardian")
                         .toStdString();
    corvanta::LinkObjectFactory() = corvanta::RigctldLinkFactory(std::move(radio));
    corvanta::LinkReleasesSent() = corvanta::RigctldReleasesSent;
    corvanta::LinkStartNote() =
        "a radio through rigctld raises no TX event: TX courtesies come from Test only";
  } else {
    corvanta::LinkOptions link;
    link.endpoint = *endpoint;
    link.status = corvanta::LinkStatus;
    corvanta::LinkObjectFactory() = corvanta::SocketLinkFactory(std::move(link));
  }

  // The help file of this installation: beside the program's own share folder.
  const QString help =
      QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(CORVANTA_HELP_RELATIVE);
  if (QFileInfo::exists(help)) corvanta::HelpFile() = QDir::cleanPath(help).toStdString();

  // The station log: what happened while nobody watched. Opened before start-up, which it logs.
  corvanta::OpenStationLog(corvanta::XdgStationLogPath(std::getenv("XDG_STATE_HOME"),
                                                       std::getenv("HOME"), stem + ".log"),
                           stem == "corvanta" ? std::string() : endpoint->ToString());

  corvanta::CloseOnSignals(&app);
  corvanta::FrmMain* frm = corvanta::Main();
  if (!claim.error().isEmpty()) {
    corvanta::LogLine("One copy per link not checked: " + claim.error().toStdString());
  }
  claim.OnSecondCopy([window = QPointer<corvanta::FrmMain>(frm)] {
    if (!window) return;
    window->showNormal();
    window->raise();
    window->activateWindow();
    window->SetStatusText(
        "A second copy of Corvanta for this link was started and ended: one copy keys a link");
  });
  corvanta::StartupFinished();
  if (options.start) corvanta::StartAfterStartup();
  const int status = QApplication::exec();
  corvanta::ResetAudioState();  // streams close before the sound system goes
  corvanta::CloseStationLog();  // what is queued is written before the program ends
  return status;
}
