#include "engine/morse_table.h"

#include <array>
#include <string_view>
#include <utility>

#include "engine/lower_case.h"

namespace corvanta {
namespace {

using Row = std::pair<std::string_view, std::string_view>;

// Letters are held as lower-case keys only. Both parentheses and both square brackets share the
// one six-element pattern.
constexpr std::array<Row, 51> kTable{{
    {" ", "/"},       {"a", ".-"},     {"b", "-..."},   {"c", "-.-."},   {"d", "-.."},
    {"e", "."},       {"f", "..-."},   {"g", "--."},    {"h", "...."},   {"i", ".."},
    {"j", ".---"},    {"k", "-.-"},    {"l", ".-.."},   {"m", "--"},     {"n", "-."},
    {"o", "---"},     {"p", ".--."},   {"q", "--.-"},   {"r", ".-."},    {"s", "..."},
    {"t", "-"},       {"u", "..-"},    {"v", "...-"},   {"w", ".--"},    {"x", "-..-"},
    {"y", "-.--"},    {"z", "--.."},   {"1", ".----"},  {"2", "..---"},  {"3", "...--"},
    {"4", "....-"},   {"5", "....."},  {"6", "-...."},  {"7", "--..."},  {"8", "---.."},
    {"9", "----."},   {"0", "-----"},  {".", ".-.-.-"}, {"?", "..--.."}, {",", "--..--"},
    {"'", ".----."},  {":", "---..."}, {";", "-.-.-."}, {"-", "-....-"}, {"/", "-..-."},
    {"(", "-.--.-"},  {")", "-.--.-"}, {"[", "-.--.-"}, {"]", "-.--.-"}, {"\"", ".-..-."},
    {"$", "...-..-"},
}};

}  // namespace

std::string MorseFor(std::string& text) {
  // The whole held text, as the operator will find it saved: "É" becomes "é", not only A-Z.
  text = LowerCase(text);
  for (const auto& [key, pattern] : kTable) {
    if (text == key) return std::string(pattern);
  }
  return {};
}

}  // namespace corvanta
