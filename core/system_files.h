#pragma once
// File calls whose failures are said in the system's own words: on Windows the system's message
// for its error code, which the standard library would turn into an unrelated C library error
// ("Input/output error" for a file another program holds open); elsewhere the standard
// library's text.
//
// Any thread. RenameFile blocks for the file system's call.
#include <filesystem>
#include <string>
#include <system_error>

namespace corvanta {

std::string SystemErrorText(const std::error_code& error);

// Renames `from` to `to`, replacing a file there; the error in the system's own code.
std::error_code RenameFile(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace corvanta
