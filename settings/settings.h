#pragma once
// The settings file: nine CR LF lines in a fixed order, texts as held (UTF-8), integers in decimal
// with a sign position and a trailing space. No header, keys or comments.
//
// Thread rules: SaveSettings and LoadSettings run on the window thread, as they read or fill the
// shared settings and the window's controls; the path is set once at start-up before either runs.
// Nothing here processes window messages, so nothing re-enters. The path itself is unsynchronised;
// the remaining functions keep no state of their own and may run on any thread.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "core/state.h"

namespace corvanta {

inline constexpr const char* kSettingsFileName = "corvanta.cfg";

// The file used by LoadSettings and SaveSettings. The program sets it once at start-up. The
// reference SettingsPath returns stays valid until the next SetSettingsPath.
void SetSettingsPath(std::filesystem::path path);
const std::filesystem::path& SettingsPath();

// Where the settings file lives. An installed program keeps it with the user's other settings,
// under $XDG_CONFIG_HOME/corvanta/, or ~/.config/corvanta/ when XDG_CONFIG_HOME is unset or
// relative, even when its own folder is writable: `cmake --install --prefix ~/.local` must not put
// it in ~/.local/bin. A program run from its build tree or from a folder of its own keeps it beside
// itself in `exe_dir` when that folder is writable, and otherwise falls back the same way. With
// neither variable usable the file goes under `exe_dir`/corvanta/.
// `installed` is the caller's finding, since only it knows both halves: the program finds its help
// file under ../share/corvanta relative to `exe_dir`, and `exe_dir` is not the build tree's program
// folder (which keeps the same layout).
// `file_name` differs from kSettingsFileName for a copy on a link of its own.
std::filesystem::path ResolveSettingsPath(const std::filesystem::path& exe_dir, bool installed,
                                          const char* xdg_config_home, const char* home,
                                          const std::string& file_name = kSettingsFileName);

// True when the attributes of `path` (file or folder) can be read; never throws.
bool FileExists(const std::filesystem::path& path);

// Writes the file from the values in memory. Throws SettingsError when it cannot; the previous
// file is then left as it was. Blocks until the disk has the data, as WriteFileAtomically does.
void SaveSettings();

// Reads the file into the settings and pushes them into the main window's controls. A missing
// file is written anew with the first-start values. Values a control cannot take are repaired,
// missing or unreadable lines keep the first-start values; each repair is shown in the status bar
// and returned. Never throws for anything the file holds. The controls' change handlers run inside
// it as each value is set; a missing file is written before it returns, blocking like a save.
std::vector<std::string> LoadSettings();

// The repairs of LoadSettings as one status text: "a; b; c".
std::string JoinNotes(const std::vector<std::string>& notes);

// The file's bytes for `s`. CR and LF are dropped from the texts so no text can shift the lines
// after it.
std::string SettingsFileBytes(const SettingsRecord& s);

// The number at the start of `text`: spaces, tabs and line feeds skipped, an optional sign, digits
// and a fraction after a point; reading stops at the first other character; no number gives 0.
// Rounded half-even and clamped into 16 bits.
std::int16_t NumberOf(std::string_view text);

// `text` without leading and trailing U+0020 spaces.
std::string_view TrimSpaces(std::string_view text);

// Writes `bytes` to a temporary file in the same folder, forces it onto the disk, renames it over
// `path` and forces the folder onto the disk, so that a failure, a full disk, a kill or a power cut
// never leaves a truncated or missing file. The new file keeps the old one's permission bits. When
// `path` is a symbolic link (or a chain of them, relative ones read from the link's folder), the
// file it names is replaced and the link stays a link; a link to a missing file creates that file.
// Throws SettingsError when the file cannot be written; the previous file is then left as it was.
// It also throws when the folder cannot be forced onto the disk after the rename: the new file is
// then in place but might not survive a power cut. Blocks the window thread until the disk has the
// data, normally a few milliseconds; on Windows a rename refused while another program holds the
// file for a moment (a virus scanner) is tried again for up to half a second. `write` puts the
// bytes on the stream and returns false when it could not (a seam for failure tests).
using ChunkWriter = std::function<bool(std::ostream&, std::string_view)>;
void WriteFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                         const ChunkWriter& write = {});

}  // namespace corvanta
