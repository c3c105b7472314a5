// Real child processes: output as read and as lines, exit statuses, start failures, and a
// child that ignores SIGTERM being killed and reaped when its handle goes.

#include <gtest/gtest.h>
#include <signal.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/identity/LinuxProcessLauncher.hpp"

namespace qb {
namespace {

// What a child's callbacks saw, for the test's thread to wait on.
struct Seen {
  std::mutex mutex;
  std::condition_variable changed;
  std::string data;
  std::vector<std::string> lines;
  std::vector<int> exits;

  ChildProcessCallbacks callbacks(bool raw) {
    ChildProcessCallbacks c;
    c.onExit = [this](int status) { update([&] { exits.push_back(status); }); };
    if (raw)
      c.onStdoutData = [this](std::string_view bytes) { update([&] { data.append(bytes); }); };
    else
      c.onStdoutLine = [this](const std::string& line) { update([&] { lines.push_back(line); }); };
    return c;
  }
  template <class F>
  void update(F f) {
    {
      std::lock_guard lock(mutex);
      f();
    }
    changed.notify_all();
  }
  bool waitForExit(double seconds = 10) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return !exits.empty(); });
  }
};

std::vector<std::string> sh(const std::string& script) { return {"/bin/sh", "-c", script}; }

TEST(LinuxProcessLauncher, DeliversOutputThenTheExitStatusOnce) {
  LinuxProcessLauncher launcher;
  std::string error;
  Seen raw, lines;
  auto a = launcher.launch(sh("printf 'one\\ntw'; sleep 0.05; printf 'o\\nlast'; exit 3"), raw.callbacks(true), error);
  auto b =
      launcher.launch(sh("printf 'one\\ntw'; sleep 0.05; printf 'o\\r\\nlast'; exit 3"), lines.callbacks(false), error);
  ASSERT_TRUE(a && b) << error;
  EXPECT_GT(a->pid(), 0);
  ASSERT_TRUE(raw.waitForExit());
  ASSERT_TRUE(lines.waitForExit());
  EXPECT_EQ(raw.data, "one\ntwo\nlast");
  EXPECT_EQ(raw.exits, std::vector<int>{3});
  // Split at "\n" only; what follows the last newline still arrives at the end.
  EXPECT_EQ(lines.lines, (std::vector<std::string>{"one", "two\r", "last"}));
  EXPECT_FALSE(a->isRunning());
}

TEST(LinuxProcessLauncher, ReportsSignalsAsAShellDoesAndStartFailuresAsText) {
  LinuxProcessLauncher launcher;
  std::string error;
  Seen seen;
  auto child = launcher.launch(sh("kill -TERM $$; sleep 5"), seen.callbacks(true), error);
  ASSERT_TRUE(child) << error;
  ASSERT_TRUE(seen.waitForExit());
  EXPECT_EQ(seen.exits, std::vector<int>{128 + SIGTERM});

  Seen none;
  EXPECT_FALSE(launcher.launch({"/nonexistent/quellbrook-tool"}, none.callbacks(true), error));
  EXPECT_EQ(error, "No such file or directory");
  EXPECT_FALSE(launcher.launch({}, none.callbacks(true), error));
  EXPECT_TRUE(none.exits.empty());
}

TEST(LinuxProcessLauncher, DestroyingTheHandleEndsAStubbornChildAndCallsNothingMore) {
  LinuxProcessLauncher launcher(0.2);
  std::string error;
  Seen seen;
  // Ignores SIGTERM and keeps the pipe open through a grandchild.
  auto child = launcher.launch(sh("trap '' TERM; echo up; sleep 2 & sleep 30"), seen.callbacks(true), error);
  ASSERT_TRUE(child) << error;
  {
    std::unique_lock lock(seen.mutex);
    ASSERT_TRUE(seen.changed.wait_for(lock, std::chrono::seconds(10), [&] { return !seen.data.empty(); }));
  }
  const pid_t pid = child->pid();
  child->terminate();  // ignored
  EXPECT_TRUE(child->isRunning());
  child.reset();
  EXPECT_NE(::kill(pid, 0), 0);  // reaped: the PID is free
  EXPECT_TRUE(seen.exits.empty());
}

}  // namespace
}  // namespace qb
