#include "app/autostart.h"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include "link/socket/wire.h"

namespace corvanta {
namespace {

// Whether `text` is well-formed UTF-8, which every value of a desktop entry must be.
bool ValidUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 1;
    char32_t c = lead;
    if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      c = lead & 0x07u;
    } else if (lead >= 0xE0) {
      length = 3;
      c = lead & 0x0Fu;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      c = lead & 0x1Fu;
    } else if (lead >= 0x80) {
      return false;
    }
    if (lead >= 0xF5 || i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      c = c << 6 | (next & 0x3Fu);
    }
    // Overlong forms, surrogates and what lies beyond U+10FFFF.
    if ((length == 3 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) ||
        (length == 4 && (c < 0x10000 || c > 0x10FFFF))) {
      return false;
    }
    i += length;
  }
  return true;
}

// An argument as the Exec key's quoting takes it: plain when it holds only characters that need
// no quoting, otherwise in double quotes with ", `, $ and \ escaped by a backslash. A literal %
// is %% either way, so that it is not read as a field code.
std::string ExecArgument(const std::string& arg) {
  if (!ValidUtf8(arg)) {
    throw std::runtime_error("\"" + arg + "\" is not UTF-8: a desktop entry cannot hold it");
  }
  bool plain = !arg.empty();
  std::string quoted;
  for (const char c : arg) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\t' && c != '\n' && c != '\r') || byte == 0x7F) {
      throw std::runtime_error("\"" + arg +
                               "\" holds a control character: a desktop entry cannot hold it");
    }
    const bool ordinary = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || byte >= 0x80 ||
                          std::string_view("_-./:+=,@%").find(c) != std::string_view::npos;
    if (!ordinary) plain = false;
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
    if (c == '%') quoted += '%';
  }
  return plain ? quoted : "\"" + quoted + "\"";
}

// The Exec value as a desktop entry's string: every backslash doubled (so the quoting's \$ is
// written \\$ and a literal backslash \\\\), and the line breaks and tabs a quoted argument may
// hold written as \n, \r and \t, as the string escapes are undone before the quoting is read.
std::string EntryString(const std::string& value) {
  std::string escaped;
  for (const char c : value) {
    switch (c) {
      case '\\':
        escaped += "\\\\";
        break;
      case '\n':
        escaped += "\\n";
        break;
      case '\r':
        escaped += "\\r";
        break;
      case '\t':
        escaped += "\\t";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

}  // namespace

std::filesystem::path AutostartEntryPath(const char* xdg_config_home, const char* home,
                                         const std::string& file_name) {
  std::filesystem::path base;
  if (xdg_config_home != nullptr && *xdg_config_home == '/') {
    base = xdg_config_home;
  } else if (home != nullptr && *home != '\0') {
    base = std::filesystem::path(home) / ".config";
  } else {
    return {};
  }
  return base / "autostart" / file_name;
}

std::vector<std::string> AutostartArguments(const std::string& link,
                                            const std::string& current_folder) {
  if (link.empty()) return {"--start"};
  std::string error;
  const auto endpoint = wire::ParseEndpoint(link, error);
  if (!endpoint) throw std::runtime_error(error);
  if (endpoint->type == wire::Endpoint::Type::kUnix && endpoint->path.front() != '/' &&
      current_folder.empty()) {
    throw std::runtime_error("the socket path " + endpoint->path +
                             " is relative, and the current folder cannot be told");
  }
  return {"--start", "--link", wire::WithAbsolutePath(*endpoint, current_folder).ToString()};
}

std::string AutostartEntry(const std::string& program, const std::vector<std::string>& arguments) {
  std::string exec = ExecArgument(program);
  for (const std::string& a : arguments) exec += " " + ExecArgument(a);
  exec = EntryString(exec);
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
