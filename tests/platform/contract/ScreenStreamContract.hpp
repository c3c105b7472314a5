#pragma once
// Behaviour every ScreenCaptureService backend's picture streams must show, written once and
// run against each backend through a driver that acts on its display.
//
// The driver starts from a still display (nothing changes unless a test changes it) whose
// first display is at least 320x180, and can make windows of its own in known colours.
//
// To run the suite for a backend, write a default-constructible driver deriving from
// ScreenStreamDriver, then, inside namespace qb::contract:
//   INSTANTIATE_TYPED_TEST_SUITE_P(MyBackend, ScreenStreamContract, ::testing::Types<MyDriver>);
// A driver whose environment is missing says so through unavailableReason(); the suite skips.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ScreenCaptureService.hpp"
#include "runtime/Executor.hpp"
#include "runtime/ManualExecutor.hpp"

namespace qb::contract {

class ScreenStreamDriver {
 public:
  virtual ~ScreenStreamDriver() = default;
  virtual std::optional<std::string> unavailableReason() { return std::nullopt; }

  virtual Executor& executor() = 0;
  virtual ScreenCaptureService& service() = 0;
  virtual uint32_t firstDisplay() = 0;

  // Colours are 0xRRGGBB. Each action returns once the display has carried it out.
  virtual void paintDisplay(uint32_t rgb) = 0;
  // A mapped window of its own on top of the others; returns its id.
  virtual uint32_t makeWindow(int x, int y, int width, int height, uint32_t rgb) = 0;
  virtual void paintWindow(uint32_t id, uint32_t rgb) = 0;
  virtual void resizeWindow(uint32_t id, int width, int height) = 0;
  virtual void setWindowMapped(uint32_t id, bool mapped) = 0;
  virtual void destroyWindow(uint32_t id) = 0;
  // A second display showing part of the screen; none when the backend cannot add one.
  virtual std::optional<uint32_t> addDisplay() = 0;
  virtual void removeDisplay(uint32_t id) = 0;
  // The display server goes away for good.
  virtual void loseServer() = 0;
  virtual bool canLoseServer() { return true; }
  // Where the user picks windows in the desktop's dialog (Wayland), a window stream shows the
  // window made last, and a window that does not exist cannot be named.
  virtual bool windowsPickedByTheUser() { return false; }
  // What a stream ends with when its window is destroyed; on Wayland the desktop ends the
  // sharing session with it.
  virtual int64_t windowGoneCode() { return StreamErrorCode::kDisplayUnavailable; }

  virtual bool waitUntil(const std::function<bool()>& pred, double seconds) = 0;
  virtual void settle(double seconds) {
    waitUntil([] { return false; }, seconds);
  }
};

// What a stream hands over: per picture its size, time and the colours at a few places.
class PictureLog : public StreamOutput, public StreamDelegate {
 public:
  struct Picture {
    int width = 0, height = 0;
    double time = 0;
    uint32_t centre = 0, left = 0;  // 0xRRGGBB at the middle and at the middle of the left edge
  };

  void streamDidOutputVideo(const CaptureStream&, const VideoFrame& f) override {
    Picture p{f.width, f.height, f.presentationTime, at(f, f.width / 2, f.height / 2), at(f, 1, f.height / 2)};
    std::lock_guard lock(mutex_);
    pictures_.push_back(p);
  }
  void streamDidStop(const CaptureStream&, const PlatformError& error) override {
    std::lock_guard lock(mutex_);
    stops_.push_back(error);
  }
  std::vector<Picture> pictures() const {
    std::lock_guard lock(mutex_);
    return pictures_;
  }
  size_t count() const {
    std::lock_guard lock(mutex_);
    return pictures_.size();
  }
  std::optional<Picture> last() const {
    std::lock_guard lock(mutex_);
    if (pictures_.empty()) return std::nullopt;
    return pictures_.back();
  }
  std::vector<PlatformError> stops() const {
    std::lock_guard lock(mutex_);
    return stops_;
  }

 private:
  static uint32_t at(const VideoFrame& f, int x, int y) {
    if (f.pixelFormat != kPixelFormatBGRA || f.empty()) return 0;
    const uint8_t* p = f.planes[0] + ptrdiff_t(y) * f.strides[0] + ptrdiff_t(x) * 4;
    return (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
  }
  mutable std::mutex mutex_;
  std::vector<Picture> pictures_;
  std::vector<PlatformError> stops_;
};

inline bool sameColour(uint32_t a, uint32_t b, int tolerance = 6) {
  for (int shift : {0, 8, 16})
    if (std::abs(int((a >> shift) & 0xFF) - int((b >> shift) & 0xFF)) > tolerance) return false;
  return true;
}

template <class Driver>
class ScreenStreamContract : public ::testing::Test {
 protected:
  void SetUp() override {
    driver_ = std::make_unique<Driver>();
    if (auto why = driver_->unavailableReason()) GTEST_SKIP() << *why;
    queue_ = driver_->executor().makeQueue("contract.pictures");
  }
  void TearDown() override {
    if (stream_) stop();
    stream_.reset();
    driver_.reset();
  }

  // A BGRA stream without the cursor, 320x180, at most `fps` pictures a second.
  std::optional<PlatformError> start(const ContentFilter& filter, int fps = 20, int width = 320, int height = 180) {
    StreamConfiguration c;
    c.width = width;
    c.height = height;
    c.pixelFormat = kPixelFormatBGRA;
    c.showsCursor = false;
    c.minimumFrameIntervalValue = 1;
    c.minimumFrameIntervalTimescale = fps;
    stream_ = driver_->service().makeStream(filter, c, log_);
    if (auto e = stream_->addStreamOutput(log_, StreamOutputType::screen, queue_)) return e;
    return complete([&](ErrorCompletion done) { stream_->startCapture(std::move(done)); });
  }
  std::optional<PlatformError> stop() {
    return complete([&](ErrorCompletion done) { stream_->stopCapture(std::move(done)); });
  }
  std::optional<PlatformError> switchTo(const ContentFilter& filter) {
    return complete([&](ErrorCompletion done) { stream_->updateContentFilter(filter, std::move(done)); });
  }
  std::optional<PlatformError> complete(const std::function<void(ErrorCompletion)>& call) {
    auto result = std::make_shared<std::optional<std::optional<PlatformError>>>();
    auto mutex = std::make_shared<std::mutex>();
    call([result, mutex](std::optional<PlatformError> e) {
      std::lock_guard lock(*mutex);
      *result = e;
    });
    const bool done = driver_->waitUntil(
        [&] {
          std::lock_guard lock(*mutex);
          return result->has_value();
        },
        10);
    EXPECT_TRUE(done) << "no completion";
    std::lock_guard lock(*mutex);
    return done ? **result : std::optional<PlatformError>{};
  }
  // Waits for picture number `n` (1-based) and returns it.
  std::optional<PictureLog::Picture> picture(size_t n) {
    if (!driver_->waitUntil([&] { return log_->count() >= n; }, 10)) return std::nullopt;
    return log_->pictures()[n - 1];
  }
  bool stoppedWith(int64_t code) {
    return driver_->waitUntil(
        [&] {
          auto s = log_->stops();
          return !s.empty() && s.front().code == code;
        },
        10);
  }

  ManualExecutor held_;  // an output queue whose work runs only when a test says
  std::unique_ptr<Driver> driver_;
  std::shared_ptr<Queue> queue_;
  std::shared_ptr<PictureLog> log_ = std::make_shared<PictureLog>();
  std::shared_ptr<CaptureStream> stream_;
};

TYPED_TEST_SUITE_P(ScreenStreamContract);

TYPED_TEST_P(ScreenStreamContract, FirstPictureOnAStillScreenThenOnlyOnChange) {
  auto& d = *this->driver_;
  d.paintDisplay(0x2040A0);
  ASSERT_FALSE(this->start(ContentFilter::forDisplay(d.firstDisplay())));
  auto first = this->picture(1);
  ASSERT_TRUE(first) << "a still screen still gives its first picture";
  EXPECT_EQ(first->width, 320);
  EXPECT_EQ(first->height, 180);
  EXPECT_TRUE(sameColour(first->centre, 0x2040A0)) << std::hex << first->centre;
  d.settle(0.5);
  EXPECT_EQ(this->log_->count(), 1u) << "nothing changed, so no picture";

  d.paintDisplay(0xC08020);
  auto second = this->picture(2);
  ASSERT_TRUE(second);
  EXPECT_TRUE(sameColour(second->centre, 0xC08020)) << std::hex << second->centre;
  EXPECT_GT(second->time, first->time);
  d.settle(0.3);
  EXPECT_EQ(this->log_->count(), 2u);
}

TYPED_TEST_P(ScreenStreamContract, ConstantMotionIsPacedByTheMinimumInterval) {
  auto& d = *this->driver_;
  ASSERT_FALSE(this->start(ContentFilter::forDisplay(d.firstDisplay()), 10));
  ASSERT_TRUE(this->picture(1));
  // A change every 20 ms for a second; the last one must still show, at the latest an
  // interval after it was made.
  const auto motionStart = std::chrono::steady_clock::now();
  for (int i = 0; i < 50; ++i) {
    d.paintDisplay(i % 2 ? 0x101010 : 0xF0F0F0);
    d.settle(0.02);
  }
  d.paintDisplay(0x00FF00);
  // Paints that take their time on a loaded machine make the motion last longer; a simulated
  // clock makes it last its nominal second in almost no wall time.
  const double motion =
      std::max(1.0, std::chrono::duration<double>(std::chrono::steady_clock::now() - motionStart).count());
  ASSERT_TRUE(d.waitUntil(
      [&] {
        auto last = this->log_->last();
        return last && sameColour(last->centre, 0x00FF00);
      },
      5))
      << "the last change was lost";
  const auto pictures = this->log_->pictures();
  EXPECT_GE(pictures.size(), 5u);
  EXPECT_LE(pictures.size(), size_t(motion / 0.1) + 4)
      << "about one picture per 0.1 s over " << motion << " s of motion";
  for (size_t i = 1; i < pictures.size(); ++i)
    EXPECT_GE(pictures[i].time - pictures[i - 1].time, 0.1 - 0.005) << "pictures " << i - 1 << " and " << i;
}

TYPED_TEST_P(ScreenStreamContract, SwitchingTheFilterShowsTheNewTargetOnTheSameStream) {
  auto& d = *this->driver_;
  d.paintDisplay(0x303030);
  const uint32_t w = d.makeWindow(40, 40, 160, 90, 0xE02020);
  ASSERT_FALSE(this->start(ContentFilter::forDisplay(d.firstDisplay())));
  ASSERT_TRUE(this->picture(1));
  ASSERT_FALSE(this->switchTo(ContentFilter::forWindow(w)));
  auto shown = this->picture(2);
  ASSERT_TRUE(shown) << "the first picture of the new target comes without a change";
  EXPECT_TRUE(sameColour(shown->centre, 0xE02020)) << std::hex << shown->centre;
  EXPECT_TRUE(sameColour(shown->left, 0xE02020)) << "160x90 fills 320x180";

  // A switch to something that does not exist fails and keeps the stream on its target.
  if (!d.windowsPickedByTheUser()) {
    EXPECT_TRUE(this->switchTo(ContentFilter::forWindow(0x7FFFFF0)));
  }
  d.paintWindow(w, 0x20E020);
  auto after = this->picture(3);
  ASSERT_TRUE(after);
  EXPECT_TRUE(sameColour(after->centre, 0x20E020)) << std::hex << after->centre;
  EXPECT_TRUE(this->log_->stops().empty());
}

TYPED_TEST_P(ScreenStreamContract, ACoveredWindowIsCapturedAsItself) {
  auto& d = *this->driver_;
  if (d.windowsPickedByTheUser()) GTEST_SKIP() << "the user picks the window: one of two cannot be named";
  const uint32_t covered = d.makeWindow(20, 20, 200, 100, 0x2020E0);
  d.makeWindow(0, 0, 300, 200, 0xE0E020);  // on top of it
  ASSERT_FALSE(this->start(ContentFilter::forWindow(covered)));
  auto p = this->picture(1);
  ASSERT_TRUE(p);
  EXPECT_TRUE(sameColour(p->centre, 0x2020E0)) << std::hex << p->centre;
  d.paintWindow(covered, 0x20A0A0);
  p = this->picture(2);
  ASSERT_TRUE(p) << "drawing into a covered window is a change";
  EXPECT_TRUE(sameColour(p->centre, 0x20A0A0)) << std::hex << p->centre;
}

TYPED_TEST_P(ScreenStreamContract, AWindowResizedUnmappedAndDestroyed) {
  auto& d = *this->driver_;
  const uint32_t w = d.makeWindow(10, 10, 320, 180, 0xA02080);
  ASSERT_FALSE(this->start(ContentFilter::forWindow(w)));
  auto p = this->picture(1);
  ASSERT_TRUE(p);
  EXPECT_TRUE(sameColour(p->left, 0xA02080));

  // Narrower: rescaled into the same picture size, centred on black.
  d.resizeWindow(w, 100, 180);
  p = this->picture(2);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->width, 320);
  EXPECT_TRUE(sameColour(p->centre, 0xA02080)) << std::hex << p->centre;
  EXPECT_TRUE(sameColour(p->left, 0x000000)) << std::hex << p->left;

  // Unmapped: paused, even when it is painted; mapped again: a picture of it.
  d.setWindowMapped(w, false);
  d.settle(0.2);
  const size_t before = this->log_->count();
  d.paintWindow(w, 0x20C0C0);
  d.settle(0.4);
  EXPECT_EQ(this->log_->count(), before);
  d.setWindowMapped(w, true);
  ASSERT_TRUE(d.waitUntil(
      [&] {
        auto last = this->log_->last();
        return this->log_->count() > before && last && sameColour(last->centre, 0x20C0C0);
      },
      5));

  // Destroyed: the stream ends through its delegate.
  d.destroyWindow(w);
  EXPECT_TRUE(this->stoppedWith(d.windowGoneCode()));
  EXPECT_EQ(this->log_->stops().size(), 1u);
  EXPECT_TRUE(this->stop()) << "a stream that ended is no longer capturing";
  this->stream_.reset();
}

TYPED_TEST_P(ScreenStreamContract, ARemovedDisplayEndsItsStream) {
  auto& d = *this->driver_;
  auto extra = d.addDisplay();
  if (!extra) GTEST_SKIP() << "this backend cannot add a display";
  ASSERT_FALSE(this->start(ContentFilter::forDisplay(*extra)));
  ASSERT_TRUE(this->picture(1));
  d.removeDisplay(*extra);
  EXPECT_TRUE(this->stoppedWith(StreamErrorCode::kDisplayUnavailable));
  this->stream_.reset();
}

TYPED_TEST_P(ScreenStreamContract, LosingTheDisplayServerEndsEveryStream) {
  auto& d = *this->driver_;
  if (!d.canLoseServer()) GTEST_SKIP() << "this backend's server is shared and cannot be lost here";
  const uint32_t w = d.makeWindow(10, 10, 100, 100, 0x808080);
  ASSERT_FALSE(this->start(ContentFilter::forDisplay(d.firstDisplay())));
  auto other = std::make_shared<PictureLog>();
  StreamConfiguration c;
  c.width = 64;
  c.height = 64;
  auto second = d.service().makeStream(ContentFilter::forWindow(w), c, other);
  ASSERT_FALSE(second->addStreamOutput(other, StreamOutputType::screen, this->queue_));
  ASSERT_FALSE(this->complete([&](ErrorCompletion done) { second->startCapture(std::move(done)); }));
  ASSERT_TRUE(this->picture(1));
  d.loseServer();
  EXPECT_TRUE(this->stoppedWith(StreamErrorCode::kConnectionLost));
  EXPECT_TRUE(d.waitUntil([&] { return other->stops().size() == 1; }, 10));
  EXPECT_EQ(other->stops().front().code, StreamErrorCode::kConnectionLost);
  this->stream_.reset();
}

TYPED_TEST_P(ScreenStreamContract, ARemovedOutputGetsNothingThatWasQueuedForIt) {
  this->queue_ = this->held_.makeQueue("contract.held");
  ASSERT_FALSE(this->start(ContentFilter::forDisplay(this->driver_->firstDisplay())));
  ASSERT_TRUE(this->driver_->waitUntil([&] { return this->held_.pendingCount() > 0; }, 10)) << "no picture";
  EXPECT_FALSE(this->stream_->removeStreamOutput(StreamOutputType::screen));
  this->held_.runUntilIdle();
  EXPECT_EQ(this->log_->count(), 0u);
}

REGISTER_TYPED_TEST_SUITE_P(ScreenStreamContract, FirstPictureOnAStillScreenThenOnlyOnChange,
                            ConstantMotionIsPacedByTheMinimumInterval,
                            SwitchingTheFilterShowsTheNewTargetOnTheSameStream, ACoveredWindowIsCapturedAsItself,
                            AWindowResizedUnmappedAndDestroyed, ARemovedDisplayEndsItsStream,
                            LosingTheDisplayServerEndsEveryStream, ARemovedOutputGetsNothingThatWasQueuedForIt);

}  // namespace qb::contract
