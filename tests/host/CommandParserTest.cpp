#include "host/CommandParser.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace qb;

TEST(CommandParser, SplitsAtFirstColonAndUppercasesOnlyTheWord) {
  struct Case {
    std::string line, command;
    std::optional<std::string> argument;
  } cases[] = {
      {"START_STREAMING", "START_STREAMING", std::nullopt},
      {"start_streaming", "START_STREAMING", std::nullopt},
      {"Health_Check:Some Arg", "HEALTH_CHECK", "Some Arg"},
      {"TEST_WAV:/tmp/a:b.wav", "TEST_WAV", "/tmp/a:b.wav"},
      {"START_VIDEO:", "START_VIDEO", ""},
      {"STOP ", "STOP ", std::nullopt},  // no trimming
      {" stop", " STOP", std::nullopt},
      {"", "", std::nullopt},
      {":x", "", "x"},
      {"gr\xC3\xBC\xC3\x9F:\xC3\xBC", "GR\xC3\xBC\xC3\x9F", "\xC3\xBC"},  // non-ASCII kept as is
  };
  for (const auto& c : cases) {
    auto parsed = parseCommandLine(c.line);
    EXPECT_EQ(parsed.command, c.command) << c.line;
    EXPECT_EQ(parsed.argument, c.argument) << c.line;
  }
}

namespace {

struct Collected {
  std::vector<std::string> lines;
  std::vector<size_t> overlong;
};

Collected split(const std::vector<std::string>& chunks, size_t maxLine = 16, bool finish = true) {
  Collected out;
  LineSplitter splitter({.onLine = [&](std::string l) { out.lines.push_back(std::move(l)); },
                         .onOverlong = [&](size_t n) { out.overlong.push_back(n); }},
                        maxLine);
  for (const auto& c : chunks) splitter.feed(std::span<const char>(c.data(), c.size()));
  if (finish) splitter.finish();
  return out;
}

}  // namespace

TEST(LineSplitter, StripsNewlineAndOneCarriageReturnAcrossChunks) {
  auto out = split({"HEALTH_", "CHECK\r", "\nSTOP\n\nA\r\r\n", "last"});
  EXPECT_EQ(out.lines, (std::vector<std::string>{"HEALTH_CHECK", "STOP", "", "A\r", "last"}));
  EXPECT_TRUE(out.overlong.empty());
  EXPECT_TRUE(split({"x\n"}, 16, false).lines.size() == 1);
  EXPECT_TRUE(split({"unterminated"}, 16, false).lines.empty());
}

TEST(LineSplitter, DropsOverlongLinesWithoutHoldingThem) {
  std::string limit(16, 'a');
  // Exactly at the limit (also with a "\r" on top) is kept; one more byte is dropped.
  auto out = split({limit + "\n", limit + "\r\n", limit + "b\n", "ok\n"});
  EXPECT_EQ(out.lines, (std::vector<std::string>{limit, limit, "ok"}));
  EXPECT_EQ(out.overlong, (std::vector<size_t>{17}));

  // A long line fed in small pieces: counted, never buffered beyond the limit.
  Collected collected;
  LineSplitter splitter({.onLine = [&](std::string l) { collected.lines.push_back(std::move(l)); },
                         .onOverlong = [&](size_t n) { collected.overlong.push_back(n); }},
                        16);
  for (int i = 0; i < 1000; ++i) {
    splitter.feed(std::span<const char>("0123456789", 10));
    ASSERT_LE(splitter.bufferedBytes(), 17u);
  }
  splitter.feed(std::span<const char>("\nnext\n", 6));
  splitter.feed(std::span<const char>("xxxxxxxxxxxxxxxxxxxxxxxxx", 25));
  splitter.finish();  // an overlong unterminated tail is reported too
  EXPECT_EQ(collected.lines, (std::vector<std::string>{"next"}));
  EXPECT_EQ(collected.overlong, (std::vector<size_t>{10000, 25}));
}

TEST(LineSplitter, NulsAndInvalidUtf8BecomeSafeLines) {
  std::string nul("A\0B", 3);
  auto out = split({nul + "\n\xFF\xFEX\n"});
  ASSERT_EQ(out.lines.size(), 2u);
  EXPECT_EQ(out.lines[0], nul);  // NUL is valid text; the writers escape it on output
  EXPECT_EQ(out.lines[1], "\xEF\xBF\xBD\xEF\xBF\xBDX");
}
