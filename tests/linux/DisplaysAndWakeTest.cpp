// Displays from the test display's RandR monitors, the placeholder without X, and the
// wake notifier without a system bus.

#include <mutex>

#include "PulseTestEnv.hpp"
#include "platform/linux/logind/LogindWakeNotifier.hpp"
#include "platform/linux/x11/LinuxScreenCaptureService.hpp"
#include "platform/linux/x11/X11Displays.hpp"
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

TEST(LinuxDisplays, ListsTheMonitorsOfTheXServerOrOnePlaceholder) {
  if (envOr("DISPLAY").empty()) GTEST_SKIP() << "no test display: run eval \"$(scripts/test-env start)\" first";
  ThreadExecutor executor;
  LinuxScreenCaptureService service(executor, std::make_shared<pulse::PulseConnection>(), executor.makeQueue("e"));
  EXPECT_TRUE(service.requestPermission());

  auto monitors = queryX11Monitors();
  ASSERT_TRUE(monitors);
  ASSERT_FALSE(monitors->empty());
  EXPECT_EQ(monitors->front().width, 1920);
  EXPECT_EQ(monitors->front().height, 1080);
  auto content = contentOf(service, executor);
  ASSERT_EQ(content.displays.size(), monitors->size());
  EXPECT_EQ(content.displays[0].displayID, monitors->front().id);
  EXPECT_NE(content.displays[0].displayID, 0u);
  EXPECT_EQ(content.displays[0].width, 1920);

  // Without X, system audio still has its one display to build a stream on, and the log
  // says why once, not at every listing. (A service keeps the connection it opened, so this
  // takes a new one.)
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
  ::setenv("DISPLAY", display.c_str(), 1);
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
