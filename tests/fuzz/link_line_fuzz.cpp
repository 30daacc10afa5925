// Any bytes from the link program, cut into any pieces: the line reader keeps its bounds, gives
// the same lines however the bytes were cut, and every line parses without harm.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "link/socket/wire.h"
#include "tests/fuzz/check.h"

namespace {}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvanta::wire;
  if (size == 0) return 0;
  // The first byte chooses the piece size for the second reading.
  const std::size_t piece = 1 + data[0] % 64;
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);

  LineReader whole;
  const std::vector<std::string> lines = whole.Feed(bytes);
  LineReader pieces;
  std::vector<std::string> cut;
  for (std::size_t at = 0; at < bytes.size(); at += piece) {
    for (std::string& line : pieces.Feed(bytes.substr(at, piece))) cut.push_back(std::move(line));
  }
  CHECK(lines == cut);
  CHECK(whole.discarded() == pieces.discarded());

  for (const std::string& line : lines) {
    CHECK(line.size() <= kMaxLine);
    CHECK(line.find('\n') == std::string::npos);
    const Message m = Parse(line);
    CHECK(m.value == 0 || m.value == -1);
    if (m.kind == Kind::kPtt || m.kind == Kind::kTx) CHECK(line.rfind("EVENT ", 0) == 0);
  }
  return 0;
}
