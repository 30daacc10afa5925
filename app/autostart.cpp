#include "app/autostart.h"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <system_error>

namespace corvanta {
namespace {

// An argument as the Exec key takes it: plain when it holds only characters that need no
// quoting, otherwise in double quotes with ", `, $ and \ escaped; % is doubled either way.
std::string ExecArgument(const std::string& arg) {
  bool plain = !arg.empty();
  std::string escaped;
  for (const char c : arg) {
    const bool ordinary = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') ||
                          std::string_view("_-./:+=,@").find(c) != std::string_view::npos;
    if (!ordinary) plain = false;
    if (c == '"' || c == '`' || c == '$' || c == '\\') escaped += '\\';
    escaped += c;
    if (c == '%') escaped += '%';
  }
  if (plain) return escaped;
  return "\"" + escaped + "\"";
}

}  // namespace

std::filesystem::path AutostartEntryPath(const char* xdg_config_home, const char* home) {
  std::filesystem::path base;
  if (xdg_config_home != nullptr && *xdg_config_home == '/') {
    base = xdg_config_home;
  } else if (home != nullptr && *home != '\0') {
    base = std::filesystem::path(home) / ".config";
  } else {
    return {};
  }
  return base / "autostart" / "corvanta.desktop";
}

std::string AutostartEntry(const std::string& program, const std::vector<std::string>& arguments) {
  std::string exec = ExecArgument(program);
  for (const std::string& a : arguments) exec += " " + ExecArgument(a);
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Corvanta\n"
         "Comment=Courtesy-tone keyer for a link station, monitoring from logon\n"
         "Exec=" +
         exec +
         "\n"
         "Icon=corvanta\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

std::string AutostartProgram(const std::filesystem::path& self, const char* path_variable) {
  std::stringstream folders(path_variable != nullptr ? path_variable : "");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (folder.empty()) continue;
    std::error_code ec;
    const std::filesystem::path candidate = std::filesystem::path(folder) / "corvanta";
    // The first one on the path is what the desktop would start.
    if (!std::filesystem::exists(candidate, ec)) continue;
    return std::filesystem::equivalent(candidate, self, ec) ? "corvanta" : self.string();
  }
  return self.string();
}

std::string WriteAutostart(const std::filesystem::path& entry, const std::string& text) {
  std::error_code ec;
  std::filesystem::create_directories(entry.parent_path(), ec);
  if (ec)
    throw std::runtime_error("cannot make " + entry.parent_path().string() + ": " + ec.message());
  const std::filesystem::path temporary = entry.string() + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
      std::filesystem::remove(temporary, ec);
      throw std::runtime_error("cannot write " + temporary.string());
    }
  }
  std::filesystem::rename(temporary, entry, ec);
  if (ec) {
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    throw std::runtime_error("cannot write " + entry.string() + ": " + ec.message());
  }
  return "Corvanta starts monitoring at logon: " + entry.string();
}

std::string RemoveAutostart(const std::filesystem::path& entry) {
  std::error_code ec;
  const bool removed = std::filesystem::remove(entry, ec);
  if (ec) throw std::runtime_error("cannot remove " + entry.string() + ": " + ec.message());
  return removed ? "Corvanta no longer starts at logon: " + entry.string() + " removed"
                 : "Corvanta was not set to start at logon: no " + entry.string();
}

}  // namespace corvanta
