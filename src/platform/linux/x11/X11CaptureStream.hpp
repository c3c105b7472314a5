#pragma once
// The capture stream that carries pictures of an X11 display (a RandR monitor) or of one
// window.
//
// Pictures follow damage, not a clock: one right after startCapture, then one whenever the
// captured area changed (DAMAGE) or, with showsCursor, the pointer moved over it or changed
// shape (XFixes), never two closer than the minimum frame interval (FramePacer; a change
// inside the interval is taken at its end). Core X reports no motion to a client that does
// not own the window under the pointer, so motion comes as XInput 2 raw motion, after which
// the stream asks where the pointer is, at most once per frame interval however fast it
// moves; where the server lacks XInput 2 the position is polled once per interval. Raw
// motion leaves out pointer warps: a warped pointer shows at the next motion or picture. Pixels
// come through MIT-SHM into a reused segment, or GetImage where the server lacks it; a
// window is read from its own Composite pixmap, so it is captured as itself even when
// covered, or from its area of the screen where Composite is missing. Pictures are scaled
// into the configured size (aspect kept, centred on black) from a small pool; while
// receivers hold every picture the change stays pending and is taken later.
//
// What happens to the target while capturing:
//   monitor resized, window resized      later pictures show the new size, rescaled
//   window unmapped                      no pictures until it is mapped again
//   monitor removed                      the stream stops with -3815
//   window destroyed                     the stream stops with -3815
//   X connection lost                    the stream stops with -3821
// A stop of its own is reported once through the delegate, on the service's event queue.
//
// Each stream has a connection of its own, opened by startCapture and closed by
// stopCapture or an end, so every server resource it made (damage, pixmaps, shared
// segments, redirections) goes with it on every path. Audio is not carried (a stream with
// capturesAudio is a SystemAudioStream).
//
// Thread-safe. All X work runs on the stream's own serial queue; completions run on the
// executor's pool, pictures on the output's queue.

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/FramePacer.hpp"
#include "platform/ScreenCaptureService.hpp"
#include "platform/linux/x11/X11CaptureTarget.hpp"
#include "platform/linux/x11/X11Connection.hpp"
#include "runtime/TaskHandle.hpp"

namespace qb {

class Executor;
class Queue;

class X11CaptureStream final : public CaptureStream, public std::enable_shared_from_this<X11CaptureStream> {
 public:
  struct Options {
    std::string displayName;                    // DISPLAY when empty
    std::vector<std::string> extensionsToHide;  // as X11Connection::open
  };

  static std::shared_ptr<X11CaptureStream> create(Executor& executor, std::shared_ptr<Queue> events,
                                                  const ContentFilter& filter, const StreamConfiguration& config,
                                                  std::weak_ptr<StreamDelegate> delegate, Options options = {});
  ~X11CaptureStream() override;

  const StreamConfiguration& configuration() const override { return config_; }
  std::optional<PlatformError> addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                                               std::shared_ptr<Queue> queue) override;
  std::optional<PlatformError> removeStreamOutput(StreamOutputType type) override;
  void startCapture(ErrorCompletion done) override;
  void stopCapture(ErrorCompletion done) override;
  void updateContentFilter(const ContentFilter& filter, ErrorCompletion done) override;

  // For tests and diagnostics (any thread).
  struct Stats {
    int pictures = 0;  // delivered
    int skipped = 0;   // due while every picture was held
    bool sharedMemory = false;
    bool composite = false;      // the current window target is read from its own pixmap
    bool pointerEvents = false;  // the pointer is followed by XInput 2 motion, not polled
    int pointerMotions = 0;      // raw motion events received
    int pointerQueries = 0;      // times the stream asked where the pointer is, to follow it
    int pointerRechecks = 0;     // slow looks for a pointer moved without motion (a warp)
  };
  Stats stats() const;

  static constexpr const char* kErrorDomain = "ScreenCaptureErrorDomain";

 private:
  X11CaptureStream(Executor& executor, std::shared_ptr<Queue> events, const ContentFilter& filter,
                   const StreamConfiguration& config, std::weak_ptr<StreamDelegate> delegate, Options options);

  // All below run on queue_.
  std::optional<PlatformError> start();
  std::optional<PlatformError> stop();
  std::optional<PlatformError> switchTo(const ContentFilter& filter);
  void onEvent(const std::vector<uint8_t>& event);
  void apply(x11::X11CaptureTarget::Change change);
  void watchMonitor();
  void followPointer();
  void queryPointer(bool recheck = false);
  void recheckPointer();
  double pointerInterval() const;
  void schedulePicture();
  void takePicture();
  void deliver(const VideoFrame& frame);
  // Whether `output` is still the screen output (a removed one gets nothing more). Any thread.
  bool isOutput(const std::weak_ptr<StreamOutput>& output) const;
  void end(int64_t code, const std::string& description);
  void tearDown();

  Executor& executor_;
  std::shared_ptr<Queue> events_;
  std::shared_ptr<Queue> queue_;
  const StreamConfiguration config_;
  std::weak_ptr<StreamDelegate> delegate_;
  const Options options_;

  mutable std::mutex mutex_;  // guards the fields up to stats_
  std::weak_ptr<StreamOutput> output_;
  std::shared_ptr<Queue> outputQueue_;
  Stats stats_;

  // Owned by queue_.
  ContentFilter filter_;
  bool capturing_ = false;
  std::shared_ptr<x11::X11Connection> connection_;
  x11::X11Connection::Subscription subscription_;
  std::unique_ptr<x11::X11CaptureTarget> target_;
  std::unique_ptr<encode::PictureConverter> converter_;
  FramePacer pacer_;
  TaskHandle pictureTimer_;
  double pictureDue_ = 0;
  TaskHandle pointerTimer_;  // the poll, or the query that motion inside an interval waits for
  TaskHandle warpTimer_;     // with motion events: the slow look for warps
  double lastPointerQuery_ = -1e9;
  // Shared with the connection's event thread, which must never hold the stream itself.
  struct Motion {
    std::atomic<bool> queued{false};  // a call of followPointer is on the queue or waits
    std::atomic<int> seen{0};
  };
  std::shared_ptr<Motion> motion_ = std::make_shared<Motion>();
  TaskHandle monitorTimer_;
  std::optional<std::pair<int, int>> pointer_;
  bool forceNext_ = false;  // the next picture is due even without damage (first, resize, cursor)
  std::vector<x11::PixelRect> damage_;
};

}  // namespace qb
