// Titles set by other clients: any bytes in, valid UTF-8 out (for any bytes at all, the
// fuzz target fuzz_x11_text).

#include "platform/linux/x11/X11Text.hpp"

#include <gtest/gtest.h>

#include "runtime/Utf8.hpp"

namespace qb::x11 {
namespace {

TEST(X11Text, DecodesEachEncodingAndRepairsWhatIsBroken) {
  EXPECT_EQ(textPropertyToUtf8("Gr\xC3\xBC\xC3\x9F"
                               "e \xF0\x9F\x8E\xA5",
                               TextEncoding::utf8),
            "Grüße 🎥");
  EXPECT_EQ(textPropertyToUtf8("ab\xFF\xFE"
                               "cd",
                               TextEncoding::utf8),
            "ab\xEF\xBF\xBD\xEF\xBF\xBD"
            "cd");
  EXPECT_EQ(textPropertyToUtf8("Gr\xFC\xDF"
                               "e",
                               TextEncoding::latin1),
            "Grüße");
  // The first of several NUL-separated strings.
  EXPECT_EQ(textPropertyToUtf8(std::string_view("first\0second", 12), TextEncoding::latin1), "first");

  // Compound text: Latin-1 by default, UTF-8 segments, other sets as one U+FFFD per run.
  EXPECT_EQ(textPropertyToUtf8("caf\xE9", TextEncoding::compoundText), "café");
  EXPECT_EQ(textPropertyToUtf8("a\x1B%G\xE6\x97\xA5\xE6\x9C\xAC\x1B%@b", TextEncoding::compoundText), "a日本b");
  EXPECT_EQ(textPropertyToUtf8("x\x1B$(B\x46\x7C\x4B\x5C\x1B(B y", TextEncoding::compoundText), "x\xEF\xBF\xBD y");
  EXPECT_EQ(textPropertyToUtf8("\x1B-B\xE8\x1B-A\xE8", TextEncoding::compoundText), "\xEF\xBF\xBD\xC3\xA8");
  // Cut-off escapes and an unterminated UTF-8 segment end the text without harm.
  EXPECT_EQ(textPropertyToUtf8("ok\x1B$", TextEncoding::compoundText), "ok");
  EXPECT_EQ(textPropertyToUtf8("ok\x1B%G\xE6\x97", TextEncoding::compoundText), "ok\xEF\xBF\xBD");
  EXPECT_EQ(textPropertyToUtf8("ok\x1B%/1\x80", TextEncoding::compoundText), "ok");
}

TEST(X11Text, LongTitlesAreCutAtACharacterBoundary) {
  std::string title;
  for (int i = 0; i < 2000; ++i) title += "\xC3\xA9";  // é, two bytes each
  for (size_t limit : {size_t(1024), size_t(1023), size_t(7)}) {
    const std::string cut = textPropertyToUtf8(title, TextEncoding::utf8, limit);
    EXPECT_LE(cut.size(), limit);
    EXPECT_GE(cut.size(), limit - 1);
    EXPECT_TRUE(isValidUtf8(cut));
  }
}

}  // namespace
}  // namespace qb::x11
