// rigctld's answers as the client reads them, and the squelch read as local-RF events, on
// virtual time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/rigctld/protocol.h"
#include "link/rigctld/squelch.h"

namespace corvanta::rigctld {
namespace {

// Answers as rigctld 4.5.4 gives them (extended and plain), and what a confused peer sends.
TEST(RigctldProtocol, AnswersEndAtTheirRprtLine) {
  struct Case {
    std::vector<const char*> lines;
    const char* command;
    const char* key;  // a value to look up, or null
    const char* value;
    int code;
  };
  const Case cases[] = {
      {{"set_ptt: 1", "RPRT 0"}, "set_ptt", nullptr, nullptr, 0},
      {{"get_ptt:", "PTT: 1", "RPRT 0"}, "get_ptt", "PTT", "1", 0},
      {{"get_dcd:", "DCD: 0", "RPRT 0"}, "get_dcd", "DCD", "0", 0},
      {{"get_ptt:", "RPRT -11"}, "get_ptt", "PTT", nullptr, -11},
      {{"set_ptt: 1", "RPRT -1"}, "set_ptt", nullptr, nullptr, -1},
      {{"RPRT 0"}, "", nullptr, nullptr, 0},  // plain set
      {{"1", "RPRT 0"}, "", "", "1", 0},      // a bare value, then an end
      {{"garbage:: x", "get_dcd:", "RPRT -6"}, "get_dcd", nullptr, nullptr, -6},
      {{"get_dcd:", "DCD:1 ", "RPRT  0"}, "get_dcd", "DCD", "1", 0},
  };
  for (const Case& c : cases) {
    ReplyReader reader;
    std::optional<Reply> reply;
    for (std::size_t i = 0; i < c.lines.size(); ++i) {
      reply = reader.Line(c.lines[i]);
      if (i + 1 < c.lines.size()) {
        ASSERT_FALSE(reply) << c.lines[i];
      }
    }
    ASSERT_TRUE(reply) << c.lines.back();
    EXPECT_EQ(reply->command, c.command) << c.lines.front();
    EXPECT_EQ(reply->code, c.code) << c.lines.front();
    if (c.key != nullptr) {
      const auto value = reply->Value(c.key);
      EXPECT_EQ(value.has_value(), c.value != nullptr) << c.lines.front();
      if (value && c.value) {
        EXPECT_EQ(*value, c.value);
      }
    }
  }
}

TEST(RigctldProtocol, APeerThatNeverEndsItsAnswerCannotGrowMemory) {
  ReplyReader reader;
  for (int i = 0; i < 100000; ++i) ASSERT_FALSE(reader.Line("PTT: 1"));
  EXPECT_LE(reader.pending_lines(), 33u);
  EXPECT_TRUE(reader.Line("RPRT 0"));
  EXPECT_EQ(reader.pending_lines(), 0u);
}

TEST(RigctldProtocol, RefusalsSayWhatHamlibMeansAndWhatToCheck) {
  EXPECT_EQ(KeyingRefusal(-11),
            "RPRT -11: not available: is rigctld running with a PTT type (-P)?");
  EXPECT_EQ(KeyingRefusal(-1),
            "RPRT -1: invalid parameter: is rigctld running with a PTT type (-P)?");
  EXPECT_EQ(KeyingRefusal(-5), "RPRT -5: communication timed out");
  EXPECT_EQ(KeyingRefusal(-99), "RPRT -99: hamlib error -99");
  EXPECT_FALSE(ParseRprt("RPRT"));
  EXPECT_FALSE(ParseRprt("RPRT 0x"));
  EXPECT_FALSE(ParseFlag("2"));
  EXPECT_FALSE(ParseFlag(""));
}

// One scenario per row: readings (time, open) and our own keying, and the events they make.
// Readings come every 53 ms unless a row says otherwise, so the hang time never falls on one.
TEST(SquelchWatch, TheEndOfLocalRfIsASquelchClosedForTheHangTime) {
  struct Step {
    std::int64_t ms;
    char what;  // 'o' open, 'c' closed, 'K' we key, 'R' we release
  };
  struct Case {
    const char* name;
    int hang_ms;
    std::vector<Step> steps;
    std::vector<std::pair<std::int64_t, bool>> events;
  };
  const Case cases[] = {
      {"an over: open, then closed past the hang time",
       300,
       {{0, 'c'}, {53, 'o'}, {106, 'o'}, {159, 'c'}, {212, 'c'}, {424, 'c'}, {477, 'c'}},
       {{53, true}, {477, false}}},
      {"flutter shorter than the hang time gives nothing",
       300,
       {{0, 'o'}, {53, 'c'}, {106, 'c'}, {159, 'o'}, {212, 'c'}, {265, 'c'}, {318, 'o'}},
       {}},
      {"hang 0: the first closed reading ends local RF",
       0,
       {{0, 'o'}, {53, 'c'}, {106, 'c'}},
       {{53, false}}},
      {"the first reading only learns the state", 300, {{0, 'o'}, {53, 'o'}}, {}},
      {"our own transmission and the hang after it make no events",
       300,
       {{0, 'c'},
        {10, 'K'},
        {53, 'o'},
        {106, 'c'},
        {900, 'R'},
        {953, 'o'},
        {1006, 'c'},
        {1199, 'o'},
        {1252, 'c'},
        {1305, 'c'}},
       {}},
      {"an over that began in our transmission ends with its events",
       300,
       {{0, 'c'},
        {10, 'K'},
        {53, 'o'},
        {900, 'R'},
        {1253, 'o'},
        {1306, 'c'},
        {1553, 'c'},
        {1659, 'c'}},
       {{1253, true}, {1659, false}}},
      {"an over that ended in our transmission: the hang counts from the first reading after",
       300,
       {{0, 'o'}, {10, 'K'}, {53, 'c'}, {900, 'R'}, {1253, 'c'}, {1500, 'c'}, {1553, 'c'}},
       {{1553, false}}},
  };
  for (const Case& c : cases) {
    SquelchWatch watch(c.hang_ms);
    std::vector<std::pair<std::int64_t, bool>> events;
    for (const Step& s : c.steps) {
      if (s.what == 'K' || s.what == 'R') {
        watch.Keyed(s.ms, s.what == 'K');
      } else if (const auto e = watch.Reading(s.ms, s.what == 'o')) {
        events.emplace_back(s.ms, *e);
      }
    }
    EXPECT_EQ(events, c.events) << c.name;
  }
}

// The USB interface's squelch input: which bit of the report's first byte, and its sense.
TEST(HidSquelch, TheInputIsChosenByNameOrBitAndInvertedByAnExclamationMark) {
  const struct {
    const char* text;
    const char* error;  // part of the error, or null
    unsigned char report;
    bool open;
  } cases[] = {
      {"hidraw:/dev/hidraw0", nullptr, 0x02, true},  // volume down, the usual COS input
      {"hidraw:/dev/hidraw0", nullptr, 0x01, false},
      {"hidraw:/dev/hidraw3:volup", nullptr, 0x01, true},
      {"hidraw:/dev/hidraw3:!voldown", nullptr, 0x02, false},
      {"hidraw:/dev/hidraw3:!voldown", nullptr, 0x00, true},
      {"hidraw:/dev/hidraw3:recmute", nullptr, 0x08, true},
      {"hidraw:/dev/hidraw3:5", nullptr, 0x20, true},
      {"hidraw:/dev/hidraw3:vol", "none of volup", 0, false},
      {"hidraw:/dev/hidraw3:8", "none of volup", 0, false},
      {"hidraw:", "needs the device", 0, false},
      {"/dev/hidraw0", "must be hidraw:", 0, false},
  };
  for (const auto& c : cases) {
    std::string error;
    const auto squelch = ParseHidSquelch(c.text, error);
    ASSERT_EQ(squelch.has_value(), c.error == nullptr) << c.text << ": " << error;
    if (!squelch) {
      EXPECT_NE(error.find(c.error), std::string::npos) << c.text << ": " << error;
      continue;
    }
    const unsigned char report[4] = {c.report, 0, 0, 0};
    EXPECT_EQ(squelch->Open(report, 4), c.open) << c.text << " " << int{c.report};
  }
  EXPECT_FALSE(HidSquelch{}.Open(nullptr, 0));
}

}  // namespace
}  // namespace corvanta::rigctld
