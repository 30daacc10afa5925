#pragma once
// The settings file: nine CR LF lines in a fixed order, texts as held (UTF-8), integers in decimal
// with a sign position and a trailing space. No header, keys or comments.
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

// The file used by LoadSettings and SaveSettings. The program sets it once at start-up.
void SetSettingsPath(std::filesystem::path path);
const std::filesystem::path& SettingsPath();

// Beside the executable when that folder is writable; otherwise (an installed program) under
// $XDG_CONFIG_HOME/corvanta/, or ~/.config/corvanta/ when XDG_CONFIG_HOME is unset or relative.
std::filesystem::path ResolveSettingsPath(const std::filesystem::path& exe_dir,
                                          const char* xdg_config_home, const char* home);

// True when the attributes of `path` (file or folder) can be read; never throws.
bool FileExists(const std::filesystem::path& path);

// Writes the file from the values in memory. Throws SettingsError when it cannot; the previous
// file is then left as it was.
void SaveSettings();

// Reads the file into the settings and pushes them into the main window's controls. A missing
// file is written anew with the first-start values. Values a control cannot take are repaired,
// missing or unreadable lines keep the first-start values; each repair is shown in the status bar
// and returned. Never throws for anything the file holds.
std::vector<std::string> LoadSettings();

// The file's bytes for `s`. CR and LF are dropped from the texts so no text can shift the lines
// after it.
std::string SettingsFileBytes(const SettingsRecord& s);

// The number at the start of `text`: spaces, tabs and line feeds skipped, an optional sign, digits
// and a fraction after a point; reading stops at the first other character; no number gives 0.
// Rounded half-even and clamped into 16 bits.
std::int16_t NumberOf(std::string_view text);

// `text` without leading and trailing U+0020 spaces.
std::string_view TrimSpaces(std::string_view text);

// Writes `bytes` to a temporary file in the same folder, flushes it and renames it over `path`, so
// that a failure, a full disk or a kill never leaves a truncated or missing file. `write` puts the
// bytes on the stream and returns false when it could not (a seam for failure tests).
using ChunkWriter = std::function<bool(std::ostream&, std::string_view)>;
void WriteFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                         const ChunkWriter& write = {});

}  // namespace corvanta
