#include "settings/durable.h"

#include <windows.h>

#include <string>
#include <system_error>

#include "core/errors.h"

namespace corvanta {
namespace {

[[noreturn]] void Fail(const std::filesystem::path& path, DWORD error) {
  throw SettingsError(
      "cannot sync " + path.string() + " to disk: " +
      SystemErrorText(std::error_code(static_cast<int>(error), std::system_category())));
}

std::string Convert(UINT from, std::string_view text, UINT to, bool* lossy = nullptr) {
  if (text.empty()) return {};
  const int n =
      ::MultiByteToWideChar(from, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(from, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  BOOL defaulted = FALSE;
  const bool utf = to == CP_UTF8;
  const int m = ::WideCharToMultiByte(to, utf ? 0 : WC_NO_BEST_FIT_CHARS, wide.data(), n, nullptr,
                                      0, nullptr, utf ? nullptr : &defaulted);
  std::string out(static_cast<std::size_t>(m), '\0');
  ::WideCharToMultiByte(to, utf ? 0 : WC_NO_BEST_FIT_CHARS, wide.data(), n, out.data(), m, nullptr,
                        utf ? nullptr : &defaulted);
  if (lossy != nullptr) *lossy = defaulted != FALSE;
  return out;
}

bool ValidUtf8WithNonAscii(const std::vector<std::string>& lines) {
  bool non_ascii = false;
  for (const std::string& line : lines) {
    if (line.empty()) continue;
    if (::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, line.data(),
                              static_cast<int>(line.size()), nullptr, 0) == 0) {
      return false;
    }
    for (const char c : line) non_ascii = non_ascii || static_cast<unsigned char>(c) >= 0x80;
  }
  return non_ascii;
}

constexpr std::string_view kBom = "\xEF\xBB\xBF";

}  // namespace

void SyncFileToDisk(const std::filesystem::path& path) {
  // Flushing needs write access; sharing everything lets the save's own handle stay open.
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) Fail(path, ::GetLastError());
  const BOOL flushed = ::FlushFileBuffers(file);
  const DWORD error = flushed ? ERROR_SUCCESS : ::GetLastError();
  ::CloseHandle(file);
  if (!flushed) Fail(path, error);
}

// NTFS keeps its folder entries in its own journal and offers no call to flush a folder: as the
// interface allows, a file system that cannot sync a folder counts as done. A folder that is not
// there, or is no folder, is still an error.
void SyncFolderToDisk(const std::filesystem::path& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) Fail(path, ::GetLastError());
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) Fail(path, ERROR_DIRECTORY);
}

bool RenameMayPassLater(const std::error_code& error) {
  // The standard library reports a held file as "permission denied" in its own terms.
  if (error == std::errc::permission_denied || error == std::errc::device_or_resource_busy) {
    return true;
  }
  if (error.category() != std::system_category()) return false;
  const int code = error.value();
  return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION ||
         code == ERROR_ACCESS_DENIED;
}

std::string ToFileText(std::string_view utf8) {
  if (::GetACP() == CP_UTF8) return std::string(utf8);
  bool lossy = false;
  std::string ansi = Convert(CP_UTF8, utf8, CP_ACP, &lossy);
  return lossy ? std::string(kBom) + std::string(utf8) : ansi;
}

void FromFileText(std::vector<std::string>& lines) {
  if (lines.empty()) return;
  if (lines.front().rfind(kBom, 0) == 0) {
    lines.front().erase(0, kBom.size());
    return;
  }
  // No mark: the code page, unless every line is UTF-8 with something beyond ASCII (a file of
  // an earlier Windows build; text in a code page is hardly ever valid UTF-8 as well).
  if (::GetACP() == CP_UTF8 || ValidUtf8WithNonAscii(lines)) return;
  for (std::string& line : lines) line = Convert(CP_ACP, line, CP_UTF8);
}

}  // namespace corvanta
