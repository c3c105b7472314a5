// The screen contracts against the Wayland backend, on the screen-sharing stack of
// scripts/test-env (start-portal; skipped without it): the compositor's outputs and the test
// portal's pictures, which the driver paints. The portal grants its first output for a display and its window for a
// window.

#include <systemd/sd-bus.h>

#include <cstdio>
#include <memory>

#include "linux/PortalTestEnv.hpp"
#include "platform/ScreenCaptureWaits.hpp"
#include "platform/contract/ScreenContentContract.hpp"
#include "platform/contract/ScreenStreamContract.hpp"
#include "platform/linux/portal/PortalScreenCaptureService.hpp"
#include "platform/linux/x11/LinuxScreenCaptureService.hpp"
#include "runtime/ThreadExecutor.hpp"

namespace qb::contract {

namespace {

std::string hex(uint32_t rgb) {
  char s[8];
  std::snprintf(s, sizeof s, "%06X", rgb & 0xFFFFFF);
  return s;
}

// Tells the test portal a command over a bus connection of our own: a test paints many times
// a second, which a child process per command cannot keep up with on a loaded machine.
bool portal(const std::string& command) {
  static sd_bus* bus = [] {
    sd_bus* b = nullptr;
    return sd_bus_open_user(&b) >= 0 ? b : nullptr;
  }();
  if (!bus) return testenv::portal(command);
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  const char* answer = nullptr;
  int r = sd_bus_call_method(bus, "org.freedesktop.impl.portal.desktop.qbtest", "/org/quellbrook/TestPortal",
                             "org.quellbrook.TestPortal", "Control", &error, &reply, "s", command.c_str());
  const bool ok = r >= 0 && sd_bus_message_read(reply, "s", &answer) >= 0 && std::string(answer) != "" &&
                  !std::string(answer).starts_with("error");
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  return ok;
}

// The Wayland service, as the helper makes it on a Wayland session.
class PortalService {
 public:
  PortalService() {
    if (testenv::envOr("QB_TEST_PORTAL").empty()) return;
    auto events = executor_.makeQueue("contract.events");
    service_ = std::make_shared<portal::PortalScreenCaptureService>(
        executor_, events, std::make_shared<LinuxScreenCaptureService>(executor_, nullptr, events), LogFunction{});
    testenv::portal("reset");
  }
  std::optional<std::string> unavailable() const {
    if (!service_) return "no screen-sharing stack: run eval \"$(scripts/test-env start-portal)\" first";
    return std::nullopt;
  }

 protected:
  ThreadExecutor executor_;
  std::shared_ptr<portal::PortalScreenCaptureService> service_;
};

class PortalStreamDriver final : public ScreenStreamDriver, PortalService {
 public:
  std::optional<std::string> unavailableReason() override { return unavailable(); }
  Executor& executor() override { return executor_; }
  ScreenCaptureService& service() override { return *service_; }
  uint32_t firstDisplay() override {
    auto content = awaitShareableContent(executor_, *service_, false, false);
    auto* c = std::get_if<ShareableContent>(&content);
    return c && !c->displays.empty() ? c->displays.front().displayID : 0;
  }

  void paintDisplay(uint32_t rgb) override { EXPECT_TRUE(portal("paint " + hex(rgb) + " HEADLESS-1")); }
  // The portal's one window, at the size asked; where it lies means nothing on Wayland.
  uint32_t makeWindow(int, int, int width, int height, uint32_t rgb) override {
    EXPECT_TRUE(portal("resize window " + std::to_string(width) + " " + std::to_string(height)));
    EXPECT_TRUE(portal("paint " + hex(rgb) + " window"));
    return 1;
  }
  void paintWindow(uint32_t, uint32_t rgb) override { EXPECT_TRUE(portal("paint " + hex(rgb) + " window")); }
  void resizeWindow(uint32_t, int width, int height) override {
    EXPECT_TRUE(portal("resize window " + std::to_string(width) + " " + std::to_string(height)));
  }
  void setWindowMapped(uint32_t, bool mapped) override { EXPECT_TRUE(portal(mapped ? "show window" : "hide window")); }
  void destroyWindow(uint32_t) override { EXPECT_TRUE(portal("remove window")); }
  std::optional<uint32_t> addDisplay() override { return std::nullopt; }
  void removeDisplay(uint32_t) override {}
  void loseServer() override {}
  bool canLoseServer() override { return false; }
  bool windowsPickedByTheUser() override { return true; }
  int64_t windowGoneCode() override { return StreamErrorCode::kUserStopped; }

  bool waitUntil(const std::function<bool()>& pred, double seconds) override {
    return testenv::waitUntil(pred, seconds);
  }
};

// The compositor's outputs as they are: sway keeps an output it made (disabling one fails on
// its headless backend), so none is added here.
class PortalContentDriver final : public ScreenContentDriver, PortalService {
 public:
  std::optional<std::string> unavailableReason() override { return unavailable(); }
  Executor& executor() override { return executor_; }
  ScreenCaptureService& service() override { return *service_; }
  std::pair<int, int> screenSize() override { return {1920, 1080}; }
  void addMonitor(const std::string&, int, int, int, int) override {}
  void removeMonitor(const std::string&) override {}
  void resizeMonitor(const std::string&, int, int) override {}
  uint32_t openWindow(const ContractWindow&) override { return 0; }
  void hideWindow(uint32_t) override {}
  void changeWindow(uint32_t, const ContractWindow&) override {}
  void showWindow(uint32_t) override {}
  void closeWindow(uint32_t) override {}
  bool listsWindows() override { return false; }
  bool canAddMonitors() override { return false; }
  bool waitUntil(const std::function<bool()>& pred, double seconds) override {
    return testenv::waitUntil(pred, seconds);
  }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Portal, ScreenStreamContract, ::testing::Types<PortalStreamDriver>);
INSTANTIATE_TYPED_TEST_SUITE_P(Portal, ScreenContentContract, ::testing::Types<PortalContentDriver>);

}  // namespace qb::contract
