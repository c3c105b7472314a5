#include "wire/LineText.hpp"

#include <gtest/gtest.h>

#include "host/HostTestSupport.hpp"
#include "wire/DoubleFormat.hpp"

using namespace qb;

// Invalid UTF-8 is repaired by runtime/Utf8's rule (Utf8Test); here, what the lines add.
TEST(LineText, SingleLineEscapesControlsAndKeepsJsonValid) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"a\nb\rc\td", "a\\x0Ab\\x0Dc\td"},
      {std::string("nul\0end", 7), "nul\\x00end"},
      {"del\x7F", "del\\x7F"},
      {"\xFF\n", "\xEF\xBF\xBD\\x0A"},
      // Inside quotes, JSON's escape; quotes escaped inside a string do not end it.
      {"LIST:[{\"name\":\"a\x7F\\\"\x01\"}]\x7F", "LIST:[{\"name\":\"a\\u007F\\\"\\u0001\"}]\\x7F"},
      {"{\"k\":\"\\\\\"}\n", "{\"k\":\"\\\\\"}\\x0A"},
  };
  for (const auto& c : cases) EXPECT_EQ(toSingleLine(c.in), c.out) << c.in;
  EXPECT_FALSE(needsSingleLineCleanup("\xE2\x9C\x85 fine\ttext"));
}

TEST(LineText, WritersKeepEveryLineWholeAndValid) {
  qbtest::CapturedOutput out;
  logToStderr("Received command: A\rB\nC\xFF");
  sendCommandResponse("X\n");
  ASSERT_EQ(out.lines().size(), 2u);
  EXPECT_EQ(out.lines()[0], "Received command: A\\x0DB\\x0AC\xEF\xBF\xBD");
  EXPECT_EQ(out.lines()[1], "CMD_RESPONSE:X\\x0A");
}

TEST(DoubleFormat, ShortestRoundTripWithFraction) {
  EXPECT_EQ(formatShortestDouble(1800000000.0), "1800000000.0");
  EXPECT_EQ(formatShortestDouble(1712345678.123456), "1712345678.123456");
  EXPECT_EQ(formatShortestDouble(1712345678.1), "1712345678.1");
  EXPECT_EQ(formatShortestDouble(0.0), "0.0");
  EXPECT_EQ(formatShortestDouble(-2.5), "-2.5");
  EXPECT_EQ(formatShortestDouble(0.1), "0.1");
  EXPECT_EQ(formatShortestDouble(0.0001), "0.0001");
  EXPECT_EQ(formatShortestDouble(0.00001), "1e-05");
  EXPECT_EQ(formatShortestDouble(9007199254740992.0), "9007199254740992.0");
  EXPECT_EQ(formatShortestDouble(1e16), "1e+16");
  // Round trip for arbitrary wall times.
  for (double t = 1.7e9; t < 1.7e9 + 1; t += 0.0123456789) EXPECT_EQ(std::stod(formatShortestDouble(t)), t);
}

TEST(LineText, PrefixCutsAtUserPerceivedCharacters) {
  EXPECT_EQ(prefixCharacters("abcdef", 3), "abc");
  EXPECT_EQ(prefixCharacters("e\u0301te\u0301", 2), "e\u0301t");
  EXPECT_EQ(prefixCharacters("\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7x", 1), "\U0001F1E9\U0001F1EA");
  EXPECT_EQ(prefixCharacters("\U0001F469\u200D\U0001F4BB\U0001F3FD!", 1), "\U0001F469\u200D\U0001F4BB\U0001F3FD");
  EXPECT_EQ(prefixCharacters("\u65e5\u672c\u8a9e", 2), "\u65e5\u672c");
  // Bytes that are not UTF-8 count one each; a cut sequence is never completed.
  EXPECT_EQ(prefixCharacters("\xff\xfe"
                             "abc",
                             3),
            "\xff\xfe"
            "a");
  EXPECT_EQ(prefixCharacters("a\xe6\x97", 2), "a\xe6");
}
