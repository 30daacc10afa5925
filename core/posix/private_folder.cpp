#include "core/private_folder.h"

#include <cstdio>

#include <sys/stat.h>
#include <unistd.h>

namespace corvanta {

std::string NotPrivateFolder(const std::string& folder) {
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) return {};
  if (S_ISDIR(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & 07777) == 0700) return {};
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  return folder + " is not private to this user (owner " + std::to_string(st.st_uid) + ", mode " +
         mode + (S_ISDIR(st.st_mode) ? "" : ", not a folder") + ")";
}

}  // namespace corvanta
