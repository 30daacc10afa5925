#include "settings/durable.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "core/errors.h"

namespace corvanta {
namespace {

[[noreturn]] void Fail(const std::filesystem::path& path, int error) {
  throw SettingsError("cannot sync " + path.string() +
                      " to disk: " + std::generic_category().message(error));
}

// Returns the errno of a failed fsync, 0 when it succeeded; throws when `path` cannot be opened.
int OpenAndSync(const std::filesystem::path& path, int flags) {
  int fd = -1;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) Fail(path, errno);
  int result = 0;
  while (::fsync(fd) != 0) {
    if (errno != EINTR) {
      result = errno;
      break;
    }
  }
  // fsync has already reported any write error; close has nothing left to lose.
  ::close(fd);
  return result;
}

}  // namespace

void SyncFileToDisk(const std::filesystem::path& path) {
  if (const int error = OpenAndSync(path, O_RDONLY); error != 0) Fail(path, error);
}

void SyncFolderToDisk(const std::filesystem::path& folder) {
  const std::filesystem::path target = folder.empty() ? "." : folder;
  const int error = OpenAndSync(target, O_RDONLY | O_DIRECTORY);
  // Some file systems (network and FUSE ones among them) cannot sync a folder and say so.
  if (error != 0 && error != EINVAL && error != ENOTSUP) Fail(target, error);
}

bool RenameMayPassLater(const std::error_code& /*error*/) {
  return false;
}

std::string ToFileText(std::string_view utf8) {
  return std::string(utf8);
}

void FromFileText(std::vector<std::string>& /*lines*/) {}

}  // namespace corvanta
