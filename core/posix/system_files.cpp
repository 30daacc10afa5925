#include "core/system_files.h"

namespace corvanta {

std::string SystemErrorText(const std::error_code& error) {
  return error.message();
}

std::error_code RenameFile(const std::filesystem::path& from, const std::filesystem::path& to) {
  std::error_code ec;
  std::filesystem::rename(from, to, ec);
  return ec;
}

}  // namespace corvanta
