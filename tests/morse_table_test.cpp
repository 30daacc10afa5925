#include "engine/morse_table.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace corvanta {
namespace {

struct Lookup {
  std::string text;
  std::string pattern;
  std::string text_after;
};

TEST(MorseFor, LooksUpOneCharacterAndLowerCasesTheCallersText) {
  const Lookup cases[] = {
      {"K", "-.-", "k"},
      {"k", "-.-", "k"},
      {" ", "/", " "},
      {"/", "-..-.", "/"},
      {"(", "-.--.-", "("},
      {")", "-.--.-", ")"},
      {"[", "-.--.-", "["},
      {"]", "-.--.-", "]"},
      {"\"", ".-..-.", "\""},
      {"$", "...-..-", "$"},
      {"0", "-----", "0"},
      {"9", "----.", "9"},
      {".", ".-.-.-", "."},
      {"e", ".", "e"},
      {"T", "-", "t"},
      // No pattern: empty, two characters, trailing space, tab, unknown signs, non-ASCII.
      {"", "", ""},
      {"ab", "", "ab"},
      {"AB", "", "ab"},
      {"k ", "", "k "},
      {"\t", "", "\t"},
      {"#", "", "#"},
      {"!", "", "!"},
      {"\xC3\xA9", "", "\xC3\xA9"},
      {"\xC3\x89", "", "\xC3\x89"},
  };
  for (const Lookup& c : cases) {
    std::string text = c.text;
    EXPECT_EQ(MorseFor(text), c.pattern) << "text '" << c.text << "'";
    EXPECT_EQ(text, c.text_after) << "text '" << c.text << "'";
  }
}

TEST(MorseFor, EveryLetterHasItsOwnPatternInBothCases) {
  std::set<std::string> seen;
  for (char c = 'A'; c <= 'Z'; ++c) {
    std::string upper(1, c);
    std::string lower(1, static_cast<char>(c - 'A' + 'a'));
    const std::string p = MorseFor(upper);
    EXPECT_EQ(p, MorseFor(lower));
    EXPECT_EQ(p.find_first_not_of(".-"), std::string::npos) << c;
    EXPECT_TRUE(seen.insert(p).second) << "pattern of " << c << " repeats";
  }
}

}  // namespace
}  // namespace corvanta
