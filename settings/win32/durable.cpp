#include "settings/durable.h"

#include <windows.h>

#include <string>
#include <system_error>

#include "core/errors.h"

namespace corvanta {
namespace {

[[noreturn]] void Fail(const std::filesystem::path& path, DWORD error) {
  throw SettingsError("cannot sync " + path.string() +
                      " to disk: " + std::system_category().message(static_cast<int>(error)));
}

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

}  // namespace corvanta
