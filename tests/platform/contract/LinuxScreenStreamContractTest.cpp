// The screen stream contract against the real backend, each test on an Xvfb of its own
// (so that it may add and remove monitors and kill the server), with windows the test
// draws itself. The service reaches that server through DISPLAY, set for the test's length.

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

#include "linux/PrivateXServer.hpp"
#include "linux/PulseTestEnv.hpp"
#include "platform/contract/ScreenStreamContract.hpp"
#include "platform/linux/x11/LinuxScreenCaptureService.hpp"
#include "platform/linux/x11/X11Displays.hpp"
#include "runtime/ThreadExecutor.hpp"

namespace qb::contract {

namespace {

class LinuxScreenStreamDriver final : public ScreenStreamDriver {
 public:
  LinuxScreenStreamDriver() : server_({}, "640x360x24") {
    if (!server_.ok()) return;
    if (const char* d = std::getenv("DISPLAY")) oldDisplay_ = d;
    ::setenv("DISPLAY", server_.display().c_str(), 1);
    c_ = xcb_connect(server_.display().c_str(), nullptr);
    root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
    service_ = std::make_unique<LinuxScreenCaptureService>(executor_, nullptr, executor_.makeQueue("contract.events"));
  }
  ~LinuxScreenStreamDriver() override {
    service_.reset();
    if (c_) xcb_disconnect(c_);
    if (oldDisplay_.empty())
      ::unsetenv("DISPLAY");
    else
      ::setenv("DISPLAY", oldDisplay_.c_str(), 1);
  }

  std::optional<std::string> unavailableReason() override {
    if (!server_.ok()) return "cannot start Xvfb";
    return std::nullopt;
  }
  Executor& executor() override { return executor_; }
  ScreenCaptureService& service() override { return *service_; }
  uint32_t firstDisplay() override {
    auto monitors = queryX11Monitors(server_.display());
    return monitors && !monitors->empty() ? monitors->front().id : 0;
  }

  void paintDisplay(uint32_t rgb) override { paint(root_, rgb); }
  uint32_t makeWindow(int x, int y, int width, int height, uint32_t rgb) override {
    const xcb_window_t w = xcb_generate_id(c_);
    const uint32_t values[] = {rgb};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, w, root_, int16_t(x), int16_t(y), uint16_t(width), uint16_t(height), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL, values);
    xcb_map_window(c_, w);
    sync();
    return w;
  }
  void paintWindow(uint32_t id, uint32_t rgb) override { paint(id, rgb); }
  void resizeWindow(uint32_t id, int width, int height) override {
    const uint32_t values[] = {uint32_t(width), uint32_t(height)};
    xcb_configure_window(c_, id, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, values);
    sync();
  }
  void setWindowMapped(uint32_t id, bool mapped) override {
    if (mapped)
      xcb_map_window(c_, id);
    else
      xcb_unmap_window(c_, id);
    sync();
  }
  void destroyWindow(uint32_t id) override {
    xcb_destroy_window(c_, id);
    sync();
  }
  // A virtual RandR monitor over the top-left corner (monitors without outputs need no CRTC).
  std::optional<uint32_t> addDisplay() override {
    if (!testenv::run("xrandr --display " + server_.display() + " --setmonitor qb-extra 320/80x180/45+0+0 none"))
      return std::nullopt;
    auto monitors = queryX11Monitors(server_.display());
    if (monitors)
      for (auto& m : *monitors)
        if (m.name == "qb-extra") return m.id;
    return std::nullopt;
  }
  void removeDisplay(uint32_t) override {
    testenv::run("xrandr --display " + server_.display() + " --delmonitor qb-extra");
  }
  void loseServer() override { server_.kill(); }

  bool waitUntil(const std::function<bool()>& pred, double seconds) override {
    return testenv::waitUntil(pred, seconds);
  }

 private:
  void paint(xcb_window_t w, uint32_t rgb) {
    xcb_change_window_attributes(c_, w, XCB_CW_BACK_PIXEL, &rgb);
    xcb_clear_area(c_, 0, w, 0, 0, 0, 0);
    sync();
  }
  void sync() { std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }

  testenv::PrivateXServer server_;
  std::string oldDisplay_;
  xcb_connection_t* c_ = nullptr;
  xcb_window_t root_ = XCB_NONE;
  ThreadExecutor executor_;
  std::unique_ptr<LinuxScreenCaptureService> service_;
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Linux, ScreenStreamContract, ::testing::Types<LinuxScreenStreamDriver>);

}  // namespace qb::contract
