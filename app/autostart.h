#pragma once
// Starting Corvanta at logon on a desktop that follows the XDG autostart convention: an entry in
// $XDG_CONFIG_HOME/autostart (by default ~/.config/autostart) that runs `corvanta --start`, so a
// station that restarts after a power cut is back on the air without anyone there.
//
// Thread rules: any thread; the calls block while they write or remove the one small file.
#include <filesystem>
#include <string>
#include <vector>

namespace corvanta {

// The entry's file, or empty when neither XDG_CONFIG_HOME (absolute) nor HOME is set.
std::filesystem::path AutostartEntryPath(const char* xdg_config_home, const char* home,
                                         const std::string& file_name = "corvanta.desktop");

// The entry's text: Exec runs `program` with `arguments`, each quoted as the desktop entry format
// asks when it holds anything but plain characters.
std::string AutostartEntry(const std::string& program, const std::vector<std::string>& arguments);

// The arguments the entry runs Corvanta with: --start, and --link with `link` when one was named
// (empty: the default), its socket path made absolute against `current_folder`, since the desktop
// runs the entry from another folder. Throws std::runtime_error when `link` is not an endpoint,
// or names a relative path and `current_folder` is empty (not known).
std::vector<std::string> AutostartArguments(const std::string& link,
                                            const std::string& current_folder);

// How the entry names this program: "corvanta" when that name on `path_variable` is this very
// program, else the program's absolute path.
std::string AutostartProgram(const std::filesystem::path& self, const char* path_variable);

// Writes the entry (through a temporary file renamed over it) or removes it. Returns what was
// done, for the operator; throws std::runtime_error with the system's reason when it cannot.
std::string WriteAutostart(const std::filesystem::path& entry, const std::string& text);
std::string RemoveAutostart(const std::filesystem::path& entry);

}  // namespace corvanta
