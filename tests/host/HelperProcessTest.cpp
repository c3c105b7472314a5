// The host tool's child: lines, exit status and signals. Its frames are FrameParser's
// (ProtocolReaderTest), read from the helper by every end-to-end suite.
#include "HelperProcess.hpp"

#include <gtest/gtest.h>
#include <signal.h>

using namespace qbtools;

namespace {

HelperOptions shell(const std::string& script) {
  HelperOptions o;
  o.binary = "/bin/sh";
  o.args = {"-c", script};
  return o;
}

}  // namespace

TEST(HelperProcess, SendsLinesCollectsClassifiedLinesAndExitStatus) {
  auto options = shell(R"(echo "EVENT:env=$QB_TEST_VALUE" >&2
while read -r line; do echo "CMD_RESPONSE:got $line" >&2; done
echo "partial" >&2
exit 3)");
  options.env = {{"QB_TEST_VALUE", "forty two"}};
  std::vector<std::string> seen;
  options.onLine = [&](const Line& l) { seen.push_back(l.text); };
  HelperProcess helper(options);
  EXPECT_TRUE(helper.send("one"));
  EXPECT_TRUE(helper.send("two"));
  auto two = helper.waitForResponse("got two", 10);
  ASSERT_TRUE(two);
  EXPECT_EQ(two->index, 2u);
  helper.closeStdin();
  EXPECT_FALSE(helper.send("late"));
  auto status = helper.waitForExit(10);
  ASSERT_TRUE(status);
  EXPECT_TRUE(status->exited);
  EXPECT_EQ(status->code, 3);
  EXPECT_EQ(status->describe(), "exit 3");
  ASSERT_TRUE(helper.waitForLine([](const Line& l) { return l.text == "partial"; }, 10));
  EXPECT_EQ(helper.linesOfKind(LineKind::event).at(0).body, "env=forty two");
  EXPECT_EQ(helper.stdoutBytes(), 0u);
  helper.waitForLine([](const Line&) { return false; }, 10);  // returns once stderr closed
  EXPECT_TRUE(helper.stderrClosed());
  EXPECT_FALSE(helper.waitForResponse("got one", 10, 2)) << "search starts at the given index";
  EXPECT_EQ(seen.size(), helper.lineCount());
}

TEST(HelperProcess, ChildGetsDefaultSignalsAndIsKilledOnDestruction) {
  // Even when the parent ignores SIGPIPE, the child must not inherit that.
  struct sigaction ignore {
  }, old{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old);
  {
    HelperProcess helper(shell("grep SigIgn /proc/self/status >&2; sleep 30"));
    sigaction(SIGPIPE, &old, nullptr);
    auto line = helper.waitForLine([](const Line& l) { return l.text.starts_with("SigIgn:"); }, 10);
    ASSERT_TRUE(line);
    unsigned long long mask = std::stoull(line->text.substr(7), nullptr, 16);
    EXPECT_EQ(mask & (1ull << (SIGPIPE - 1)), 0u) << line->text;
    EXPECT_TRUE(helper.running());
    helper.kill(SIGTERM);
    auto status = helper.waitForExit(10);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->signal, SIGTERM);
  }
  auto start = std::chrono::steady_clock::now();
  { HelperProcess sleeper(shell("sleep 30")); }  // the destructor ends it, not the sleep
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  HelperOptions missing;
  missing.binary = "/nonexistent/helper";
  EXPECT_THROW(HelperProcess{missing}, std::runtime_error);
}
