// The link wire format and endpoints: what a peer can send, and where Corvanta may connect.
#include "link/socket/wire.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvanta::wire {
namespace {

TEST(Wire, ParsesEveryKindOfLine) {
  struct Case {
    const char* line;
    Kind kind;
    std::int16_t value;
    const char* text;
  };
  const Case cases[] = {
      {"EVENT PTT 0", Kind::kPtt, 0, ""},
      {"EVENT PTT 1", Kind::kPtt, -1, ""},
      {"EVENT PTT -1", Kind::kPtt, -1, ""},
      {"EVENT TX 000", Kind::kTx, 0, ""},
      {"EVENT TX 65536", Kind::kTx, -1, ""},  // non-zero, even beyond 16 bits
      {"EVENT TX +0", Kind::kTx, 0, ""},
      {"OK", Kind::kOk, 0, ""},
      {"ERR no carrier", Kind::kErr, 0, "no carrier"},
      {"SETPTT 1", Kind::kSetPtt, -1, ""},
      {"EVENT PTT", Kind::kUnknown, 0, ""},
      {"EVENT PTT 1 ", Kind::kUnknown, 0, ""},
      {"EVENT PTT -", Kind::kUnknown, 0, ""},
      {"EVENT PTT 0x1", Kind::kUnknown, 0, ""},
      {"event ptt 0", Kind::kUnknown, 0, ""},
      {"OK ", Kind::kUnknown, 0, ""},
      {"SETPTT 2", Kind::kUnknown, 0, ""},
      {"", Kind::kUnknown, 0, ""},
  };
  for (const Case& c : cases) {
    const Message m = Parse(c.line);
    EXPECT_EQ(m.kind, c.kind) << c.line;
    EXPECT_EQ(m.value, c.value) << c.line;
    EXPECT_EQ(m.text, c.text) << c.line;
  }
}

TEST(Wire, LineReaderSplitsDropsCrAndDiscardsOverLongLines) {
  LineReader r;
  EXPECT_EQ(r.Feed("OK\r\nEVENT T"), (std::vector<std::string>{"OK"}));
  EXPECT_EQ(r.Feed("X 0\n\n"), (std::vector<std::string>{"EVENT TX 0", ""}));
  const std::string longest(kMaxLine, 'a');
  EXPECT_EQ(r.Feed(longest + "\r\n"), (std::vector<std::string>{longest}));
  // One byte too many, fed in pieces: discarded up to its LF, the next line is intact.
  EXPECT_TRUE(r.Feed(longest).empty());
  EXPECT_TRUE(r.Feed("b").empty());
  EXPECT_EQ(r.Feed(std::string(100000, 'c') + "\nOK\n"), (std::vector<std::string>{"OK"}));
  EXPECT_EQ(r.discarded(), 1u);
  EXPECT_TRUE(r.Feed(longest + "b\r\n").empty());
  EXPECT_EQ(r.discarded(), 2u);
}

// The bound at its edge, in the numbers the format states (128 bytes without the LF; a CR before
// the LF does not count): one byte over is discarded, with a CR or without.
TEST(Wire, LineReaderBoundIsExactly128Bytes) {
  const struct {
    std::size_t length;  // bytes before the CR or LF
    bool cr;
    bool kept;
  } cases[] = {
      {127, false, true}, {128, false, true}, {129, false, false},
      {127, true, true},  {128, true, true},  {129, true, false},
  };
  for (const auto& c : cases) {
    LineReader r;
    const std::string line(c.length, 'x');
    const auto lines = r.Feed(line + (c.cr ? "\r\n" : "\n") + "OK\n");
    SCOPED_TRACE(std::to_string(c.length) + (c.cr ? " with CR" : " without CR"));
    EXPECT_EQ(lines,
              c.kept ? (std::vector<std::string>{line, "OK"}) : (std::vector<std::string>{"OK"}));
    EXPECT_EQ(r.discarded(), c.kept ? 0u : 1u);
  }
}

TEST(Wire, EndpointsAreLocalOnly) {
  struct Case {
    const char* text;
    bool ok;
    const char* canonical;  // ToString of the result, or a part of the error
  };
  const Case cases[] = {
      {"unix:/run/user/1000/corvanta/link.sock", true, "unix:/run/user/1000/corvanta/link.sock"},
      {"tcp:127.0.0.1:5198", true, "tcp:127.0.0.1:5198"},
      {"tcp:127.255.0.9:1", true, "tcp:127.255.0.9:1"},
      {"tcp:localhost:65535", true, "tcp:localhost:65535"},
      {"tcp:[::1]:5198", true, "tcp:[::1]:5198"},
      {"tcp:192.168.1.10:5198", false, "not a loopback address"},
      {"tcp:0.0.0.0:5198", false, "not a loopback address"},
      {"tcp:127.0.0.1.evil.example:5198", false, "not a loopback address"},
      {"tcp:1270.0.0.1:5198", false, "not a loopback address"},
      {"tcp:127.0.0.-1:5198", false, "not a loopback address"},
      {"tcp:127.-0.0.1:5198", false, "not a loopback address"},
      {"tcp:[::2]:5198", false, "not a loopback address"},
      {"tcp:127.0.0.1:0", false, "from 1 to 65535"},
      {"tcp:127.0.0.1:65536", false, "from 1 to 65535"},
      {"tcp:127.0.0.1:80x", false, "from 1 to 65535"},
      {"tcp:127.0.0.1", false, "needs a port"},
      {"unix:", false, "needs a socket path"},
      {"/tmp/link.sock", false, "must be unix:PATH, tcp:HOST:PORT or rigctld:HOST:PORT"},
      {"rigctld:127.0.0.1:4534", true, "rigctld:127.0.0.1:4534"},
      {"rigctld:localhost", true, "rigctld:localhost:4532"},
      {"rigctld:[::1]", true, "rigctld:[::1]:4532"},
      {"rigctld:[::1]:4534", true, "rigctld:[::1]:4534"},
      {"rigctld:192.168.1.20:4532", false, "not a loopback address"},
      {"rigctld:127.0.0.1:", false, "from 1 to 65535"},
      {"rigctld:[::1", false, "malformed"},
  };
  for (const Case& c : cases) {
    std::string error;
    const auto e = ParseEndpoint(c.text, error);
    ASSERT_EQ(e.has_value(), c.ok) << c.text << ": " << error;
    if (c.ok) {
      EXPECT_EQ(e->ToString(), c.canonical);
    } else {
      EXPECT_NE(error.find(c.canonical), std::string::npos) << c.text << ": " << error;
    }
  }
  EXPECT_EQ(DefaultEndpoint("/run/user/7", 7), "unix:/run/user/7/corvanta/link.sock");
  EXPECT_EQ(DefaultEndpoint(nullptr, 7), "unix:/tmp/corvanta-7/link.sock");
  EXPECT_EQ(DefaultEndpoint("", 7), "unix:/tmp/corvanta-7/link.sock");
}

// Two copies on two links keep two sets of files; every spelling of one link names one set.
TEST(Wire, EachLinkNamesItsOwnFiles) {
  const std::string fallback = "unix:/run/user/7/corvanta/link.sock";
  const struct {
    const char* link;
    const char* label;
  } cases[] = {
      {"unix:/run/user/7/corvanta/link.sock", ""},
      {"unix:/run/user/7/corvanta/../corvanta/link.sock", ""},
      {"unix:link.sock", "unix-link.sock-"},  // another folder: a hash follows
      {"unix:/run/user/7/corvanta/radio2.sock", "unix-radio2.sock"},
      {"unix:/srv/a b/radio2.sock", "unix-radio2.sock-"},
      {"rigctld:127.0.0.1:4534", "rigctld-4534"},
      {"rigctld:localhost", "rigctld-4532"},
      {"rigctld:[::1]:4534", "rigctld-__1-4534"},
      {"tcp:127.0.0.2:5198", "tcp-127.0.0.2-5198"},
  };
  for (const auto& c : cases) {
    std::string error;
    const auto e = ParseEndpoint(c.link, error);
    ASSERT_TRUE(e) << c.link;
    const std::string label = LinkFileLabel(*e, fallback, "/home/op");
    EXPECT_EQ(label.substr(0, std::string(c.label).size()), c.label) << c.link;
    const bool hashed = std::string(c.label).ends_with("-");
    EXPECT_EQ(label.size(), std::string(c.label).size() + (hashed ? 8 : 0)) << label;
    EXPECT_EQ(label.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789.-_"), std::string::npos)
        << label;
  }
  std::string error;
  const auto a = ParseEndpoint("unix:/srv/a/radio.sock", error);
  const auto b = ParseEndpoint("unix:/srv/b/radio.sock", error);
  EXPECT_NE(LinkFileLabel(*a, fallback, "/"), LinkFileLabel(*b, fallback, "/"));
  EXPECT_EQ(LinkFileLabel(*a, fallback, "/"), LinkFileLabel(*a, fallback, "/elsewhere"));
}

}  // namespace
}  // namespace corvanta::wire
