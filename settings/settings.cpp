#include "settings/settings.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>

#include "core/errors.h"
#include "core/form_layout.h"
#include "core/main_window.h"
#include "core/platform.h"
#include "core/rounding.h"
#include "core/window_handlers.h"
#include "settings/durable.h"

namespace corvanta {
namespace fs = std::filesystem;

namespace {

constexpr int kLineCount = 9;
// Bounds on what is read, so a huge or binary file cannot take the program's memory. A settings
// file the program writes is far smaller.
constexpr std::size_t kMaxLineBytes = 4096;
constexpr std::size_t kMaxFileBytes = 64 * 1024;

fs::path g_settings_path = kSettingsFileName;

std::string FormatInteger(std::int16_t v) {
  // One sign position (space or '-') before the digits and one trailing space.
  return (v < 0 ? "" : " ") + std::to_string(v) + " ";
}

std::string WithoutLineBreaks(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c != '\r' && c != '\n') out.push_back(c);
  }
  return out;
}

std::string ErrnoText() {
  return std::generic_category().message(errno);
}

[[noreturn]] void CannotWrite(const fs::path& path, const std::string& why) {
  throw SettingsError("Cannot write settings file " + path.string() + ": " + why);
}

// Writable means a file can be created there: that is what the atomic save needs.
bool CanCreateFilesIn(const fs::path& folder) {
  std::random_device rd;
  const fs::path probe = folder / (".corvanta-probe-" + std::to_string(rd()));
  bool writable = false;
  {
    std::ofstream out(probe, std::ios::binary | std::ios::trunc);
    writable = out.good();
  }
  if (writable) {
    std::error_code ec;
    fs::remove(probe, ec);
  }
  return writable;
}

// The file a save of `path` replaces: `path` itself, or the file its symbolic link names, through
// a chain of links, so that the links stay links. A relative link is read from the link's own
// folder. A link to a missing file gives that file, which the save then creates.
fs::path FinalTarget(const fs::path& path) {
  constexpr int kMaxLinks = 40;  // as many as Linux follows before it calls it a loop
  fs::path target = path;
  for (int links = 0;; ++links) {
    std::error_code ec;
    // A status that cannot be read ends the chain here; writing will then say why.
    if (!fs::is_symlink(fs::symlink_status(target, ec))) return target;
    if (links == kMaxLinks) {
      CannotWrite(path, std::make_error_code(std::errc::too_many_symbolic_link_levels).message());
    }
    const fs::path next = fs::read_symlink(target, ec);
    if (ec) CannotWrite(path, SystemErrorText(ec));
    target = next.is_absolute() ? next : target.parent_path() / next;
  }
}

struct FileLines {
  std::vector<std::string> lines;
  bool cut_line = false;  // a line was longer than kMaxLineBytes
  bool cut_file = false;  // reading stopped at kMaxFileBytes
};

// A line ends at CR or CR LF (consumed, not part of the line); a lone LF belongs to the line.
FileLines ReadLines(std::istream& in) {
  FileLines result;
  std::string line;
  bool in_line = false;
  std::size_t total = 0;
  std::streambuf* buf = in.rdbuf();
  while (static_cast<int>(result.lines.size()) < kLineCount) {
    const int c = buf->sbumpc();
    if (c == std::char_traits<char>::eof()) break;
    if (++total > kMaxFileBytes) {
      result.cut_file = true;
      break;
    }
    if (c == '\r') {
      if (buf->sgetc() == '\n') {
        buf->sbumpc();
        ++total;
      }
      result.lines.push_back(std::move(line));
      line.clear();
      in_line = false;
      continue;
    }
    in_line = true;
    if (line.size() < kMaxLineBytes) {
      line.push_back(static_cast<char>(c));
    } else {
      result.cut_line = true;
    }
  }
  if (in_line && static_cast<int>(result.lines.size()) < kLineCount) {
    result.lines.push_back(std::move(line));
  }
  return result;
}

void Note(std::vector<std::string>& notes, std::string text) {
  notes.push_back(std::move(text));
}

template <typename T>
void Repair(std::vector<std::string>& notes, const char* name, T& value, T repaired) {
  if (value == repaired) return;
  Note(notes, std::string(name) + " " + std::to_string(value) + " -> " + std::to_string(repaired));
  value = repaired;
}

// A stored value outside its slider's range is brought into it.
std::int16_t Clamp(std::int16_t value, const SliderRange& range) {
  return static_cast<std::int16_t>(std::clamp<int>(value, range.min, range.max));
}

void RepairRanges(SettingsRecord& s, std::vector<std::string>& notes) {
  Repair(notes, "SpeedSetting", s.SpeedSetting, Clamp(s.SpeedSetting, kSpeedRange));
  // Any DotBase outside kMinDotBase..kMaxDotMs leaves some speed position without a usable dot
  // time.
  Repair(
      notes, "DotBase", s.DotBase,
      (s.DotBase < kMinDotBase || s.DotBase > kMaxDotMs) ? DefaultSettings().DotBase : s.DotBase);
  Repair(notes, "ToneFrequency", s.ToneFrequency, Clamp(s.ToneFrequency, kFrequencyRange));
  Repair(notes, "Volume", s.Volume, Clamp(s.Volume, kVolumeRange));
}

// Puts the settings into the controls in the window's load order. The change handlers write the
// same values back and set the labels; the speed and frequency labels are then written again with
// a sign position.
void PushToControls(MainWindow& w) {
  w.SetSlider(Slider::HScroll2, Settings.Volume);
  w.SetSlider(Slider::sldFreq, Settings.ToneFrequency);
  w.SetSlider(Slider::sldSpeed, Settings.SpeedSetting);
  w.SetLabel(ValueLabel::TextSpeed, SpeedLabelText(w.SliderValue(Slider::sldSpeed), true));
  w.SetLabel(ValueLabel::textFreq, FreqLabelText(Settings.ToneFrequency, true));
  w.SetTextBox(TextBox::txtTX, Settings.TxCourtesyText);
  w.SetTextBox(TextBox::txtRX, Settings.RxCourtesyText);
  w.Refresh();
}

}  // namespace

void SetSettingsPath(fs::path path) {
  g_settings_path = std::move(path);
}
const fs::path& SettingsPath() {
  return g_settings_path;
}

fs::path ResolveSettingsPath(const fs::path& exe_dir, bool installed, const char* xdg_config_home,
                             const char* home, const std::string& file_name) {
  if (!installed && CanCreateFilesIn(exe_dir)) return exe_dir / file_name;
  fs::path base;
  if (xdg_config_home != nullptr && fs::path(xdg_config_home).is_absolute()) {
    base = xdg_config_home;
  } else if (home != nullptr && *home != '\0') {
    base = fs::path(home) / ".config";
  } else {
    base = exe_dir;  // nowhere better: saving will report the failure when it cannot write there
  }
  return base / "corvanta" / file_name;
}

bool FileExists(const fs::path& path) {
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  return !ec && fs::exists(st);
}

std::string SettingsFileBytes(const SettingsRecord& s) {
  std::string out;
  const auto line = [&out](const std::string& text) { out += text + "\r\n"; };
  line(WithoutLineBreaks(s.DeviceIndex));
  line(WithoutLineBreaks(s.DeviceName));
  line(FormatInteger(s.SpeedSetting));
  line(FormatInteger(s.DotBase));
  line(FormatInteger(s.ToneFrequency));
  line(FormatInteger(s.SendState));
  line(WithoutLineBreaks(s.TxCourtesyText));
  line(WithoutLineBreaks(s.RxCourtesyText));
  line(FormatInteger(s.Volume));
  return out;
}

std::string_view TrimSpaces(std::string_view text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

std::int16_t NumberOf(std::string_view text) {
  enum class Part { kStart, kInteger, kFraction } part = Part::kStart;
  std::string number;
  std::size_t integer_digits = 0;  // significant ones, leading zeros dropped
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\n') continue;
    if (part == Part::kStart && (c == '+' || c == '-')) {
      if (c == '-') number.push_back('-');
      part = Part::kInteger;
    } else if (c >= '0' && c <= '9') {
      if (part == Part::kStart) part = Part::kInteger;
      if (part == Part::kInteger && (integer_digits > 0 || c != '0')) ++integer_digits;
      number.push_back(c);
    } else if (c == '.' && part != Part::kFraction) {
      number.push_back('.');
      part = Part::kFraction;
    } else {
      break;
    }
  }
  const bool negative = !number.empty() && number.front() == '-';
  // Anything with more than five integer digits lies outside 16 bits whatever follows.
  if (integer_digits > 5) return negative ? INT16_MIN : INT16_MAX;
  const std::string_view digits = negative ? std::string_view(number).substr(1) : number;
  double value = 0.0;
  if (!digits.empty() && digits != ".") {
    // from_chars takes no sign of its own; a result too small to represent stays 0.
    std::from_chars(digits.data(), digits.data() + digits.size(), value);
  }
  return RoundClampToInt16(negative ? -value : value);
}

void WriteFileAtomically(const fs::path& path, std::string_view bytes, const ChunkWriter& write) {
  // The temporary file goes beside the file it replaces: a rename cannot cross file systems.
  const fs::path target = FinalTarget(path);
  std::error_code ec;
  if (target.has_parent_path()) fs::create_directories(target.parent_path(), ec);
  const fs::file_status old = fs::status(target, ec);
  std::random_device rd;
  fs::path tmp = target;
  tmp += ".tmp-" + std::to_string(rd());
  const auto fail = [&](const std::string& why) {
    std::error_code ignored;
    fs::remove(tmp, ignored);
    CannotWrite(path, why);
  };
  std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
  if (!out) fail(ErrnoText());
  // The old file's permission bits, set before any byte is written: a file its owner made private
  // is never readable to others, not even for a moment.
  if (fs::exists(old)) {
    fs::permissions(tmp, old.permissions() & fs::perms::mask, ec);
    if (ec) fail(SystemErrorText(ec));
  }
  bool ok =
      write
          ? write(out, bytes)
          : static_cast<bool>(out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())));
  out.flush();
  ok = ok && out.good();
  out.close();
  if (!ok || out.fail()) fail(ErrnoText());
  // On the disk before the rename: otherwise a power cut could leave the new name on an empty file.
  try {
    SyncFileToDisk(tmp);
  } catch (const SettingsError& e) {
    fail(e.what());
  }
  fs::rename(tmp, target, ec);
  for (int tries = 0; ec && RenameMayPassLater(ec) && tries < 10; ++tries) {
    // A scanner holding the new or the old file lets go within moments. A save can run between
    // two symbols of a courtesy (a click handled there): its waits are its own, off the
    // courtesy's timeline.
    Pause(50);
    fs::rename(tmp, target, ec);
  }
  if (ec) fail(SystemErrorText(ec));
  // The rename itself lives in the folder. The old file is gone by now, so a failure here cannot
  // be undone, only reported.
  try {
    SyncFolderToDisk(target.parent_path());
  } catch (const SettingsError& e) {
    throw SettingsError("Settings file " + path.string() +
                        " was replaced but may not survive a power cut: " + e.what());
  }
}

void SaveSettings() {
  WriteFileAtomically(SettingsPath(), ToFileText(SettingsFileBytes(Settings)));
}

std::vector<std::string> LoadSettings() {
  std::vector<std::string> notes;
  MainWindow& w = Window();
  const fs::path& path = SettingsPath();
  SettingsRecord s = DefaultSettings();

  if (!FileExists(path)) {
    Settings = s;
    PushToControls(w);
    try {
      SaveSettings();
    } catch (const SettingsError& e) {
      Note(notes, e.what());
    }
  } else {
    std::error_code ec;
    FileLines file;
    bool readable = !fs::is_directory(path, ec);
    if (readable) {
      try {
        std::ifstream in(path, std::ios::binary);
        readable = in.is_open();
        if (readable) file = ReadLines(in);
        FromFileText(file.lines);
        readable = readable && !in.bad();
      } catch (const std::exception&) {
        readable = false;  // a read error inside the stream library
      }
    }
    if (!readable) {
      Note(notes, "Cannot read settings file " + path.string() + ": defaults used");
    } else {
      const std::vector<std::string>& l = file.lines;
      const auto have = [&l](int n) { return static_cast<int>(l.size()) >= n; };
      // A lone LF belongs to its line, but no text may hold a line break: the file could not
      // store it, and the next save and load would give a different text.
      const auto text = [&l](int i) { return WithoutLineBreaks(l[static_cast<std::size_t>(i)]); };
      if (have(1)) s.DeviceIndex = text(0);
      if (have(2)) {
        s.DeviceName = std::string(TrimSpaces(text(1)));
        Settings.DeviceName = s.DeviceName;
        w.SetDeviceText(s.DeviceName);
      }
      if (have(3)) s.SpeedSetting = NumberOf(TrimSpaces(l[2]));
      if (have(4)) s.DotBase = NumberOf(TrimSpaces(l[3]));
      if (have(5)) s.ToneFrequency = NumberOf(TrimSpaces(l[4]));
      if (have(6)) s.SendState = NumberOf(TrimSpaces(l[5]));
      if (have(7)) s.TxCourtesyText = std::string(TrimSpaces(text(6)));
      if (have(8)) s.RxCourtesyText = std::string(TrimSpaces(text(7)));
      if (have(9)) s.Volume = NumberOf(TrimSpaces(l[8]));
      if (!have(kLineCount)) {
        Note(notes, "Settings file has " + std::to_string(l.size()) +
                        " of 9 lines: defaults used for the rest");
      }
      if (file.cut_line) Note(notes, "Settings file has an over-long line: it was cut");
      if (file.cut_file) Note(notes, "Settings file is too large: only its start was read");
    }
    RepairRanges(s, notes);
    Settings = s;
    PushToControls(w);
  }

  if (!notes.empty()) w.SetStatusText(JoinNotes(notes));
  return notes;
}

std::string JoinNotes(const std::vector<std::string>& notes) {
  std::string text;
  for (std::size_t i = 0; i < notes.size(); ++i) text += (i == 0 ? "" : "; ") + notes[i];
  return text;
}

}  // namespace corvanta
