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
      // The whole text is lower-cased, beyond A-Z, the same in every locale.
      {"\u00C9", "", "\u00E9"},                          // É
      {"\u00C9COLE", "", "\u00E9cole"},                  // ÉCOLE
      {"\u00D7\u00DF", "", "\u00D7\u00DF"},              // × and ß are not capitals
      {"\u0178\u0141\u0147", "", "\u00FF\u0142\u0148"},  // ŸŁŇ
      {"\u0130", "", "i\u0307"},                         // İ keeps its dot
      {"\u03A3\u0386\u038F", "", "\u03C3\u03AC\u03CE"},  // ΣΆΏ
      {"\u0401\u0416\u04C0", "", "\u0451\u0436\u04CF"},  // ЁЖӀ
      {"\xC3", "", "\xC3"},                              // cut short: left alone
      {"\xC0\x81", "", "\xC0\x81"},                      // malformed: left alone
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
