// The placeholder display without X, and the wake notifier without a system bus.

#include <mutex>

#include "PulseTestEnv.hpp"
#include "platform/linux/logind/LogindWakeNotifier.hpp"
#include "platform/linux/x11/LinuxScreenCaptureService.hpp"
#include "runtime/ThreadExecutor.hpp"

namespace qb {
namespace {

using namespace qb::testenv;

ShareableContent contentOf(LinuxScreenCaptureService& service, Executor& executor) {
  Completion<Result<ShareableContent>> done;
  service.shareableContent(false, true, [done](Result<ShareableContent> r) { done.complete(std::move(r)); });
  auto r = done.waitFor(executor, 10);
  EXPECT_TRUE(r);
  if (!r || !std::holds_alternative<ShareableContent>(*r)) return {};
  return std::get<ShareableContent>(*r);
}

// Without X, system audio still has its one display to build a stream on, and the log says
// why once, not at every listing. (The displays of an X server are the screen contracts'.)
TEST(LinuxDisplays, WithoutXSystemAudioHasOnePlaceholderDisplay) {
  ThreadExecutor executor;
  std::mutex mutex;
  std::vector<std::string> lines;
  const std::string display = envOr("DISPLAY");
  ::unsetenv("DISPLAY");
  LinuxScreenCaptureService withoutX(executor, std::make_shared<pulse::PulseConnection>(), executor.makeQueue("e"),
                                     nullptr, [&](const std::string& line) {
                                       std::lock_guard lock(mutex);
                                       lines.push_back(line);
                                     });
  auto placeholder = contentOf(withoutX, executor);
  contentOf(withoutX, executor);
  if (!display.empty()) ::setenv("DISPLAY", display.c_str(), 1);
  ASSERT_EQ(placeholder.displays.size(), 1u);
  EXPECT_EQ(placeholder.displays[0].displayID, LinuxScreenCaptureService::kPlaceholderDisplayID);
  EXPECT_EQ(placeholder.displays[0].width, 0);
  EXPECT_TRUE(placeholder.windows.empty());
  std::lock_guard lock(mutex);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "X display unavailable: DISPLAY is not set");
}

TEST(LogindWake, WithoutASystemBusThereAreNoWakesAndOneLogLine) {
  std::mutex mutex;
  std::vector<std::string> lines;
  auto notifier = std::make_shared<LogindWakeNotifier>([&](const std::string& l) {
    std::lock_guard lock(mutex);
    lines.push_back(l);
  });
  int wakes = 0;
  ListenerToken a = notifier->observeWake([&] { ++wakes; });
  ListenerToken b = notifier->observeWake([&] { ++wakes; });
  if (notifier->listening()) GTEST_SKIP() << "this machine has a system bus; nothing to check here";
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("Wake notifications unavailable: ", 0), 0u) << lines[0];
  // Observers still work when a wake is delivered, and a removed one stays silent.
  b.reset();
  notifier->notifyWake();
  EXPECT_EQ(wakes, 1);
}

}  // namespace
}  // namespace qb
