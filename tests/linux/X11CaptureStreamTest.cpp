// The X11 picture stream beyond the shared contract: servers without MIT-SHM or Composite,
// damage that covers only part of the target, the cursor and how the pointer is followed,
// and screenshots. Each test runs on an Xvfb of its own and draws with a connection of its
// own; the pointer moves through XTest, as a mouse moves it.

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <cstdlib>
#include <memory>

#include "PrivateXServer.hpp"
#include "PulseTestEnv.hpp"
#include "platform/contract/ScreenStreamContract.hpp"
#include "platform/linux/x11/X11CaptureStream.hpp"
#include "platform/linux/x11/X11Displays.hpp"
#include "platform/linux/x11/X11Screenshot.hpp"
#include "runtime/ManualExecutor.hpp"
#include "runtime/ThreadExecutor.hpp"

namespace qb {
namespace {

using contract::PictureLog;
using contract::sameColour;

class X11CaptureStreamTest : public ::testing::Test {
 protected:
  void startServer(std::vector<std::string> args = {}) {
    server_ = std::make_unique<testenv::PrivateXServer>(std::move(args), "640x360x24");
    if (!server_->ok()) GTEST_SKIP() << "cannot start Xvfb";
    c_ = xcb_connect(server_->display().c_str(), nullptr);
    root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
  }
  void TearDown() override {
    if (stream_) stop();
    stream_.reset();
    if (c_) xcb_disconnect(c_);
  }

  uint32_t firstDisplay() { return queryX11Monitors(server_->display())->front().id; }
  xcb_window_t makeWindow(int x, int y, int w, int h, uint32_t rgb) {
    const xcb_window_t win = xcb_generate_id(c_);
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, win, root_, int16_t(x), int16_t(y), uint16_t(w), uint16_t(h), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL, &rgb);
    xcb_map_window(c_, win);
    sync();
    return win;
  }
  // Fills part of a drawable, as an application drawing into it does.
  void fill(xcb_drawable_t d, int x, int y, int w, int h, uint32_t rgb) {
    const xcb_gcontext_t gc = xcb_generate_id(c_);
    xcb_create_gc(c_, gc, d, XCB_GC_FOREGROUND, &rgb);
    const xcb_rectangle_t r{int16_t(x), int16_t(y), uint16_t(w), uint16_t(h)};
    xcb_poly_fill_rectangle(c_, d, gc, 1, &r);
    xcb_free_gc(c_, gc);
    sync();
  }
  void sync() { std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }
  void movePointer(int x, int y) {
    xcb_test_fake_input(c_, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root_, int16_t(x), int16_t(y), 0);
    sync();
  }

  std::shared_ptr<X11CaptureStream> start(const ContentFilter& filter, bool cursor = false,
                                          std::vector<std::string> hide = {}) {
    StreamConfiguration c;
    c.width = 320;
    c.height = 180;
    c.showsCursor = cursor;
    c.minimumFrameIntervalValue = 1;
    c.minimumFrameIntervalTimescale = 30;
    stream_ = X11CaptureStream::create(*ex_, ex_->makeQueue("test.events"), filter, c, log_,
                                       X11CaptureStream::Options{server_->display(), std::move(hide)});
    EXPECT_FALSE(stream_->addStreamOutput(log_, StreamOutputType::screen, ex_->makeQueue("test.pictures")));
    Completion<std::optional<PlatformError>> started;
    stream_->startCapture([started](auto e) { started.complete(e); });
    auto e = started.waitFor(*ex_, 10);
    EXPECT_TRUE(e && !*e) << (e && *e ? (*e)->description : "no completion");
    return stream_;
  }
  void stop() {
    Completion<std::optional<PlatformError>> stopped;
    stream_->stopCapture([stopped](auto e) { stopped.complete(e); });
    stopped.waitFor(*ex_, 10);
  }
  bool lastShows(uint32_t rgb, bool centre = true) {
    return testenv::waitUntil(
        [&] {
          auto p = log_->last();
          return p && sameColour(centre ? p->centre : p->left, rgb);
        },
        5);
  }

  ThreadExecutor executor_;
  ManualExecutor manual_;  // for the tests that count what the stream does in time
  Executor* ex_ = &executor_;
  std::unique_ptr<testenv::PrivateXServer> server_;
  xcb_connection_t* c_ = nullptr;
  xcb_window_t root_ = XCB_NONE;
  std::shared_ptr<PictureLog> log_ = std::make_shared<PictureLog>();
  std::shared_ptr<X11CaptureStream> stream_;
};

TEST_F(X11CaptureStreamTest, GrabsThroughSharedMemoryOrGetImageWhenTheServerLacksIt) {
  for (bool shm : {true, false}) {
    SCOPED_TRACE(shm ? "with MIT-SHM" : "without MIT-SHM");
    startServer(shm ? std::vector<std::string>{} : std::vector<std::string>{"-extension", "MIT-SHM"});
    fill(root_, 0, 0, 640, 360, 0x3060C0);
    start(ContentFilter::forDisplay(firstDisplay()));
    EXPECT_TRUE(lastShows(0x3060C0));
    EXPECT_EQ(stream_->stats().sharedMemory, shm);
    fill(root_, 0, 0, 640, 360, 0xC06030);
    EXPECT_TRUE(lastShows(0xC06030)) << "a second grab into the same segment";
    stop();
    stream_.reset();
    xcb_disconnect(c_);
    c_ = nullptr;
  }
}

TEST_F(X11CaptureStreamTest, DamageToPartOfTheTargetShowsWhereItIs) {
  startServer();
  // A monitor that does not start at the origin, and a window inside it: damage rectangles
  // must land in target coordinates for both.
  ASSERT_TRUE(
      testenv::run("xrandr --display " + server_->display() + " --setmonitor qb-right 320/80x180/45+320+180 none"));
  uint32_t right = 0;
  const auto monitors = queryX11Monitors(server_->display());
  ASSERT_TRUE(monitors);
  for (auto& m : *monitors)
    if (m.name == "qb-right") right = m.id;
  ASSERT_NE(right, 0u);
  fill(root_, 0, 0, 640, 360, 0x202020);
  start(ContentFilter::forDisplay(right));
  ASSERT_TRUE(lastShows(0x202020));
  fill(root_, 320 + 150, 180 + 80, 20, 20, 0xE0E000);  // the middle of that monitor
  EXPECT_TRUE(lastShows(0xE0E000));
  // The monitor made narrower (in one request batch, so the stream never finds it missing):
  // the same picture size, the content rescaled between black bars.
  ASSERT_TRUE(testenv::run("xrandr --display " + server_->display() +
                           " --delmonitor qb-right --setmonitor qb-right 90/20x180/45+320+180 none"));
  fill(root_, 320, 180, 90, 180, 0x20E0E0);
  EXPECT_TRUE(testenv::waitUntil(
      [&] {
        auto p = log_->last();
        return p && sameColour(p->centre, 0x20E0E0) && sameColour(p->left, 0) && p->width == 320;
      },
      5));
  stop();

  const xcb_window_t w = makeWindow(100, 50, 320, 180, 0x2020A0);
  start(ContentFilter::forWindow(w));
  ASSERT_TRUE(lastShows(0x2020A0));
  EXPECT_TRUE(stream_->stats().composite);
  fill(w, 150, 80, 20, 20, 0x20E020);
  EXPECT_TRUE(lastShows(0x20E020));
  fill(w, 0, 80, 10, 20, 0xE02020);
  EXPECT_TRUE(lastShows(0xE02020, false)) << "a change at the edge";
}

TEST_F(X11CaptureStreamTest, WithoutCompositeAWindowIsReadFromItsPlaceOnTheScreen) {
  startServer();
  const xcb_window_t w = makeWindow(200, 100, 160, 90, 0xA040A0);
  start(ContentFilter::forWindow(w), false, {"Composite"});
  EXPECT_TRUE(lastShows(0xA040A0));
  EXPECT_FALSE(stream_->stats().composite);
  const uint32_t where[] = {10, 10};
  xcb_configure_window(c_, w, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, where);
  fill(w, 0, 0, 160, 90, 0x40A040);
  EXPECT_TRUE(lastShows(0x40A040)) << "it follows the window when it moves";
}

TEST_F(X11CaptureStreamTest, TheCursorIsDrawnAndItsMotionIsAChange) {
  startServer();
  fill(root_, 0, 0, 640, 360, 0x808080);
  movePointer(10, 10);
  start(ContentFilter::forDisplay(firstDisplay()), true);
  ASSERT_TRUE(testenv::waitUntil([&] { return log_->count() == 1; }, 5));
  const auto before = log_->last();
  // Onto the middle of the display: a picture comes though no pixel of the screen changed,
  // and the middle is no longer plain background.
  movePointer(320, 180);
  ASSERT_TRUE(testenv::waitUntil([&] { return log_->count() >= 2; }, 5));
  EXPECT_TRUE(sameColour(before->centre, 0x808080));
  EXPECT_TRUE(testenv::waitUntil([&] { return !sameColour(log_->last()->centre, 0x808080, 2); }, 5))
      << "no cursor in the middle";
  stop();

  // A screenshot has the display's own size and the cursor.
  auto shot = x11::captureScreenshot(ContentFilter::forDisplay(firstDisplay()), true, server_->display());
  ASSERT_TRUE(std::holds_alternative<Image>(shot)) << std::get<PlatformError>(shot).description;
  const Image& image = std::get<Image>(shot);
  EXPECT_EQ(image.width, 640);
  EXPECT_EQ(image.height, 360);
  int cursorPixels = 0;
  for (int y = 170; y < 200; ++y)
    for (int x = 310; x < 340; ++x) {
      const uint8_t* p = &image.bgra[size_t(y) * size_t(image.stride) + size_t(x) * 4];
      if (p[3] != 255) ADD_FAILURE() << "alpha must be opaque";
      cursorPixels += !(p[0] == 0x80 && p[1] == 0x80 && p[2] == 0x80);
    }
  EXPECT_GT(cursorPixels, 10);
  auto none = x11::captureScreenshot(ContentFilter::forDisplay(12345), true, server_->display());
  ASSERT_TRUE(std::holds_alternative<PlatformError>(none));
  EXPECT_EQ(std::get<PlatformError>(none).code, StreamErrorCode::kDisplayUnavailable);
}

// Motion reaches the stream as events: nothing is asked of the server while the pointer
// rests, a burst of motion costs one look at the pointer per frame interval, and motion away
// from the target yields no picture. Virtual time, so the interval is exact; the test waits
// in real time only for the events to arrive.
TEST_F(X11CaptureStreamTest, PointerMotionArrivesAsEventsAndCostsOneLookAnInterval) {
  startServer();
  ex_ = &manual_;
  const xcb_window_t w = makeWindow(100, 50, 200, 100, 0x2060A0);
  movePointer(600, 340);
  start(ContentFilter::forWindow(w), true);
  manual_.runUntilIdle();
  ASSERT_EQ(log_->count(), 1u);
  ASSERT_TRUE(stream_->stats().pointerEvents);
  manual_.advance(2);
  EXPECT_EQ(stream_->stats().pointerQueries, 0) << "the pointer was polled while it rested";
  EXPECT_EQ(log_->count(), 1u);

  int sent = 0;
  auto burst = [&](int x, int y, int moves) {
    for (int i = moves - 1; i >= 0; --i) movePointer(x + i, y);
    sent += moves;
    ASSERT_TRUE(testenv::waitUntil([&] { return stream_->stats().pointerMotions >= sent; }, 5));
    manual_.runUntilIdle();
  };
  // Into the middle of the window: one look, and a picture with the cursor there.
  burst(200, 100, 10);
  EXPECT_EQ(stream_->stats().pointerQueries, 1);
  ASSERT_EQ(log_->count(), 2u);
  EXPECT_FALSE(sameColour(log_->last()->centre, 0x2060A0, 2)) << "no cursor in the middle";
  // More motion within the same interval waits for its end, however much of it there is.
  burst(190, 100, 30);
  EXPECT_EQ(stream_->stats().pointerQueries, 1);
  manual_.advance(1.0 / 30);
  EXPECT_EQ(stream_->stats().pointerQueries, 2);
  EXPECT_EQ(log_->count(), 3u);
  manual_.advance(1);
  EXPECT_EQ(stream_->stats().pointerQueries, 2);
  EXPECT_EQ(log_->count(), 3u);

  // Leaving the window takes the cursor out of the picture; motion far from it shows nothing.
  burst(600, 340, 1);
  ASSERT_EQ(log_->count(), 4u);
  EXPECT_TRUE(sameColour(log_->last()->centre, 0x2060A0));
  manual_.advance(1);
  burst(620, 345, 5);
  manual_.advance(1);
  EXPECT_EQ(stream_->stats().pointerQueries, 4);
  EXPECT_EQ(log_->count(), 4u);

  // The window moves under a resting pointer: no pixel of it changed, but the cursor now lies
  // elsewhere on it.
  burst(200, 100, 1);
  ASSERT_EQ(log_->count(), 5u);
  manual_.advance(1);
  const uint32_t where[] = {150, 50};
  xcb_configure_window(c_, w, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, where);
  sync();
  ASSERT_TRUE(testenv::waitUntil(
      [&] {
        manual_.runUntilIdle();
        return stream_->stats().pointerQueries == 6;
      },
      5));
  ASSERT_EQ(log_->count(), 6u);
  EXPECT_TRUE(sameColour(log_->last()->centre, 0x2060A0)) << "the cursor stayed in the middle";

  // A warp raises no motion: the slow recheck finds the pointer in the middle again.
  const int before = stream_->stats().pointerMotions;
  xcb_warp_pointer(c_, XCB_NONE, root_, 0, 0, 0, 0, 250, 100);
  sync();
  manual_.advance(0.3);
  ASSERT_EQ(log_->count(), 7u);
  EXPECT_FALSE(sameColour(log_->last()->centre, 0x2060A0)) << "the warped pointer is not shown";
  EXPECT_EQ(stream_->stats().pointerMotions, before);
  EXPECT_GT(stream_->stats().pointerRechecks, 0);
}

// A server without XInput 2: the stream polls the pointer once an interval instead.
TEST_F(X11CaptureStreamTest, WithoutXInputThePointerIsPolled) {
  startServer();
  ex_ = &manual_;
  fill(root_, 0, 0, 640, 360, 0x808080);
  movePointer(10, 10);
  start(ContentFilter::forDisplay(firstDisplay()), true, {"XInputExtension"});
  manual_.runUntilIdle();
  ASSERT_EQ(log_->count(), 1u);
  EXPECT_FALSE(stream_->stats().pointerEvents);
  manual_.advance(1);
  EXPECT_GE(stream_->stats().pointerQueries, 29);
  EXPECT_EQ(stream_->stats().pointerMotions, 0);
  EXPECT_EQ(log_->count(), 1u);
  movePointer(320, 180);
  manual_.advance(0.1);
  ASSERT_EQ(log_->count(), 2u);
  EXPECT_FALSE(sameColour(log_->last()->centre, 0x808080, 2)) << "no cursor in the middle";
}

}  // namespace
}  // namespace qb
