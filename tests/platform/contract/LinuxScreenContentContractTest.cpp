// The screen content contract, run against the real backend on the test display of
// scripts/test-env (skipped without one), with or without its window manager.

#include <map>
#include <memory>
#include <set>

#include "linux/TestWindowClient.hpp"
#include "linux/X11TestEnv.hpp"
#include "platform/contract/ScreenContentContract.hpp"
#include "platform/linux/x11/LinuxScreenCaptureService.hpp"
#include "runtime/ThreadExecutor.hpp"

namespace qb::contract {

namespace {

class LinuxScreenContentDriver final : public ScreenContentDriver {
 public:
  LinuxScreenContentDriver() {
    if (testenv::envOr("DISPLAY").empty()) return;
    service_ = std::make_unique<LinuxScreenCaptureService>(executor_, std::make_shared<pulse::PulseConnection>(),
                                                           executor_.makeQueue("contract.events"));
    windowManager_ = testenv::windowManagerRunning();
  }
  ~LinuxScreenContentDriver() override {
    for (auto& name : monitors_) testenv::removeMonitor(name);
  }

  std::optional<std::string> unavailableReason() override {
    if (!service_) return "no test display: run eval \"$(scripts/test-env start)\" first";
    return std::nullopt;
  }

  Executor& executor() override { return executor_; }
  ScreenCaptureService& service() override { return *service_; }
  std::pair<int, int> screenSize() override { return {1920, 1080}; }

  void addMonitor(const std::string& name, int x, int y, int width, int height) override {
    EXPECT_TRUE(testenv::addMonitor(name, x, y, width, height));
    monitors_.insert(name);
  }
  // Xvfb refuses to set a monitor again under its name: it is made anew, as a user of
  // xrandr would, and keeps its id through its name.
  void resizeMonitor(const std::string& name, int width, int height) override {
    EXPECT_TRUE(testenv::removeMonitor(name));
    EXPECT_TRUE(testenv::addMonitor(name, 1000, 400, width, height));
  }
  void removeMonitor(const std::string& name) override {
    EXPECT_TRUE(testenv::removeMonitor(name));
    monitors_.erase(name);
  }

  uint32_t openWindow(const ContractWindow& w) override {
    auto client = std::make_unique<testenv::TestWindowClient>(
        std::vector<std::string>{"--title", w.title, "--class", "qb-contract," + w.application, "--geometry",
                                 std::to_string(w.width) + "x" + std::to_string(w.height) + "+" + std::to_string(w.x) +
                                     "+" + std::to_string(w.y)});
    if (!client->ok()) return 0;
    const uint32_t id = client->id();
    windows_[id] = std::move(client);
    return id;
  }
  // Without a window manager nothing can minimise a window: it is unmapped instead.
  void hideWindow(uint32_t id) override { EXPECT_TRUE(windows_.at(id)->command(windowManager_ ? "iconify" : "unmap")); }
  void changeWindow(uint32_t id, const ContractWindow& w) override {
    auto& client = *windows_.at(id);
    EXPECT_TRUE(client.command("title " + w.title));
    EXPECT_TRUE(client.command("move " + std::to_string(w.x) + " " + std::to_string(w.y)));
    EXPECT_TRUE(client.command("resize " + std::to_string(w.width) + " " + std::to_string(w.height)));
  }
  void showWindow(uint32_t id) override { EXPECT_TRUE(windows_.at(id)->command("map")); }
  void closeWindow(uint32_t id) override {
    EXPECT_TRUE(windows_.at(id)->command("quit"));
    windows_.erase(id);
  }

  bool waitUntil(const std::function<bool()>& pred, double seconds) override {
    return testenv::waitUntil(pred, seconds);
  }

 private:
  ThreadExecutor executor_;
  std::unique_ptr<LinuxScreenCaptureService> service_;
  bool windowManager_ = false;
  std::set<std::string> monitors_;
  std::map<uint32_t, std::unique_ptr<testenv::TestWindowClient>> windows_;
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(LinuxX11, ScreenContentContract, ::testing::Types<LinuxScreenContentDriver>);

}  // namespace qb::contract
