#include "runtime/Utf8.hpp"

#include <gtest/gtest.h>

using namespace qb;

TEST(Utf8, RepairsEachIllFormedSequenceAndKeepsWellFormedText) {
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  struct Case {
    std::string in, repaired;
  } cases[] = {
      {"plain \xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xA4", "plain \xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xA4"},
      {"\xC0\xAF", r + r},                  // 2-byte overlong
      {"\xE0\x80\xAF", r + r + r},          // 3-byte overlong
      {"\xF0\x80\x80\xAF", r + r + r + r},  // 4-byte overlong
      {"\xED\xA0\x80", r + r + r},          // surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},  // beyond U+10FFFF
      {"a\xE2\x82", "a" + r},               // cut short: one replacement for the maximal subpart
      {"\x80x", r + "x"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(repairUtf8(c.in), c.repaired) << testing::PrintToString(c.in);
    EXPECT_EQ(isValidUtf8(c.in), c.in == c.repaired) << testing::PrintToString(c.in);
  }
}
