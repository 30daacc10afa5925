#include "tools/linksim/script.h"

#include <chrono>
#include <fstream>

namespace corvanta::linksim {

void Log::Write(std::string_view record) {
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
  std::fprintf(out_, "%lld.%03lld %.*s\n", static_cast<long long>(us / 1000),
               static_cast<long long>(us % 1000), static_cast<int>(record.size()), record.data());
  std::fflush(out_);
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  while (true) {
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos) break;
    line.remove_prefix(start);
    const std::size_t end = line.find_first_of(" \t");
    words.push_back(line.substr(0, end));
    if (end == std::string_view::npos) break;
    line.remove_prefix(end);
  }
  return words;
}

std::optional<bool> OnOff(std::string_view word, std::string_view on, std::string_view off) {
  if (word == on) return true;
  if (word == off) return false;
  return std::nullopt;
}

bool ReadLines(const std::string& path, std::vector<std::string>& lines) {
  std::ifstream in(path);
  if (!in) return false;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return !in.bad();
}

}  // namespace corvanta::linksim
