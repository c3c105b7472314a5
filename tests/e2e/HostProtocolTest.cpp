// The built helper driven as a host drives it: start-up, answers, exit, hostile input.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "HelperProcess.hpp"
#include "e2e/support/HelperUnderTest.hpp"
#include "runtime/ProcessSpawn.hpp"
#include "wire/LineText.hpp"

using namespace qbtools;
using namespace std::chrono_literals;

namespace {

const std::string kBinary = qb::e2e::helperBinary();
constexpr double kTimeout = 10;

std::unique_ptr<HelperProcess> startHelper() {
  HelperOptions options;
  options.binary = kBinary;
  auto helper = std::make_unique<HelperProcess>(options);
  EXPECT_TRUE(
      helper->waitForLine([](const Line& l) { return l.text == "Helper ready, waiting for commands..."; }, kTimeout));
  return helper;
}

// Index of the first line equal to text, or -1.
long indexOf(const std::vector<Line>& lines, const std::string& text) {
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i].text == text) return static_cast<long>(i);
  return -1;
}

long memoryKiB(pid_t pid, const char* field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  long value = -1;
  while (status >> key) {
    if (key == std::string(field) + ":") {
      status >> value;
      return value;
    }
    status.ignore(1 << 20, '\n');
  }
  return value;
}

void expectStopsCleanly(HelperProcess& helper) {
  uint64_t from = helper.lineCount();
  ASSERT_TRUE(helper.send("STOP"));
  auto stopped = helper.waitForResponse("STOPPED:ok", kTimeout, from);
  ASSERT_TRUE(stopped);
  auto status = helper.waitForExit(kTimeout);
  ASSERT_TRUE(status);
  EXPECT_TRUE(status->exited) << status->describe();
  EXPECT_EQ(status->code, 0);
}

}  // namespace

// Without a sound server nothing about it may come between the start-up lines: the first
// command that needs the server connects, and is the first to say it cannot. STOP is
// answered, and the helper lingers a moment after its answer so the host can read it.
TEST(HostProtocol, StartsQuietlyAnswersAndExitsShortlyAfterItsStopAnswer) {
  HelperOptions options;
  options.binary = kBinary;
  options.env = {{"PULSE_SERVER", "unix:/nonexistent/quellbrook-no-server"}};
  HelperProcess helper(options);
  ASSERT_TRUE(
      helper.waitForLine([](const Line& l) { return l.text == "Helper ready, waiting for commands..."; }, kTimeout));
  const std::string health = helper.ask("HEALTH_CHECK", "HEALTH_OK:", kTimeout);
  ASSERT_NE(health.find('.'), std::string::npos) << health;
  const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  EXPECT_NEAR(std::stod(health.substr(10)), now, 60.0) << health;
  std::vector<std::string> texts;
  for (const auto& line : helper.lines()) texts.push_back(line.text);
  long previous = -1;
  for (const char* text : {"Quellbrook starting...", "✅ macOS version check passed, creating Task...",
                           "🟢 About to start RunLoop.main.run()...", "🔵 Task executing, about to call runApp()...",
                           "runApp() called - helper in IDLE mode", "Helper ready, waiting for commands..."}) {
    const long at = indexOf(helper.lines(), text);
    EXPECT_GT(at, previous) << text;
    previous = at;
  }
  for (const auto& text : texts) EXPECT_FALSE(text.starts_with("SoundServer:")) << text;

  uint64_t from = helper.lineCount();
  EXPECT_EQ(helper.ask("LIST_DEVICES", "DEVICES_LIST:", kTimeout), "DEVICES_LIST:[]");
  EXPECT_TRUE(helper.waitForLine([](const Line& l) { return l.text.starts_with("SoundServer: "); }, kTimeout, from));

  from = helper.lineCount();
  ASSERT_TRUE(helper.send("STOP"));
  auto stopped = helper.waitForResponse("STOPPED:ok", kTimeout, from);
  ASSERT_TRUE(stopped);
  auto status = helper.waitForExit(kTimeout);
  ASSERT_TRUE(status);
  EXPECT_TRUE(status->exited && status->code == 0) << status->describe();
  const double linger = std::chrono::duration<double>(status->when - stopped->received).count();
  EXPECT_GE(linger, 0.05);
  EXPECT_LT(linger, 2.0);
}

TEST(HostProtocol, EndOfInputLeavesTheProcessRunning) {
  auto helper = startHelper();
  helper->closeStdin();
  EXPECT_FALSE(helper->waitForExit(1.0)) << "the helper must not exit at end of input";
  helper->kill(SIGTERM);
  auto status = helper->waitForExit(kTimeout);
  ASSERT_TRUE(status);
  EXPECT_FALSE(status->exited);
  EXPECT_EQ(status->signal, SIGTERM);
}

// A flood of commands, answered whole and in order through the bounded queue, is the line
// reader's and the queue's tests (LineQueueTest), over a real pipe.
TEST(HostProtocol, HostileInputIsDroppedOrEscapedAndMemoryStaysBounded) {
  auto helper = startHelper();
  long baseline = memoryKiB(helper->pid(), "VmRSS");
  ASSERT_GT(baseline, 0);

  // A 2 MiB line, then 64 MiB without any newline: both dropped, neither held.
  ASSERT_TRUE(helper->sendRaw(std::string(2 << 20, 'A') + "\n"));
  std::string block(1 << 20, 'B');
  for (int i = 0; i < 64; ++i) ASSERT_TRUE(helper->sendRaw(block));
  ASSERT_TRUE(helper->sendRaw("\n"));
  // Valid JSON nested half a million deep is refused before it is parsed (the argument
  // errors are VideoArguments' table; this is their answer reaching the host).
  std::string deep = std::string(499990, '[') + "1" + std::string(499990, ']');
  EXPECT_EQ(helper->ask("START_VIDEO:{\"id\":" + deep + "}", "START_VIDEO:", kTimeout),
            "START_VIDEO:error:JSON argument too long: 999988 bytes (at most 65536)");
  EXPECT_EQ(helper->ask("HEALTH_CHECK", "HEALTH_OK:", kTimeout).substr(0, 10), "HEALTH_OK:");
  auto dropped = helper->linesOfKind(LineKind::log);
  EXPECT_NE(indexOf(dropped, "Dropped an input line of 2097152 bytes (the limit is 1048576)"), -1);
  EXPECT_NE(indexOf(dropped, "Dropped an input line of 67108864 bytes (the limit is 1048576)"), -1);
  long peak = memoryKiB(helper->pid(), "VmHWM");
  EXPECT_LT(peak - baseline, 24 * 1024) << "peak " << peak << " KiB, baseline " << baseline << " KiB";

  // NULs, control characters and invalid UTF-8 neither crash nor split lines.
  const uint64_t hostileFrom = helper->lineCount();
  ASSERT_TRUE(helper->sendRaw(std::string("HEALTH\0CHECK\n", 13)));
  ASSERT_TRUE(helper->sendRaw("HEALTH_CHECK:\xFF\xFE\x01\r\n"));
  ASSERT_TRUE(helper->sendRaw("START_VIDEO:{\"type\":\"\xC0\xAF\"}\n"));
  ASSERT_TRUE(
      helper->waitForLine([](const Line& l) { return l.text == "Unknown command: HEALTH\\x00CHECK"; }, kTimeout));
  ASSERT_TRUE(helper->waitForLine(
      [](const Line& l) { return l.text == "Received command: HEALTH_CHECK:\xEF\xBF\xBD\xEF\xBF\xBD\\x01"; },
      kTimeout));
  ASSERT_TRUE(helper->waitForResponsePrefix("START_VIDEO:", kTimeout, hostileFrom));

  expectStopsCleanly(*helper);
  for (const auto& l : helper->lines()) {
    EXPECT_TRUE(qb::isValidUtf8(l.text)) << l.text;
    EXPECT_EQ(l.text.find('\r'), std::string::npos) << l.text;
  }
  EXPECT_EQ(helper->stdoutBytes(), 0u);
}

// A host that closes its end of standard error ends the helper at its next line: the
// broken-pipe signal keeps its default action.
TEST(HostProtocol, ClosedStderrEndsTheHelperWithSigpipe) {
  int in[2], err[2];
  ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
  const pid_t pid = qb::spawnWithDefaultSignals({kBinary}, in[0], -1, err[1]);
  ASSERT_GT(pid, 0);
  close(in[0]);
  close(err[1]);
  close(err[0]);  // nobody reads standard error any more

  // Ignore our own SIGPIPE while writing in case the helper is already gone.
  struct sigaction ignore {
  }, old{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old);
  (void)!write(in[1], "HEALTH_CHECK\n", 13);
  sigaction(SIGPIPE, &old, nullptr);

  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + 10s;
  pid_t done = 0;
  while ((done = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  close(in[1]);
  if (done == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    FAIL() << "the helper kept running without its standard error";
  }
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGPIPE);
}
