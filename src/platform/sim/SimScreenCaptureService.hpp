#pragma once
// Simulated displays, windows, capture streams and screenshots, scripted from tests.
//
// Thread-safe. Completions and stopped-with-error callbacks run as items of the
// service's "sim.screen" queue, never inside the call that asked for them, each
// exactly once; operations on one stream complete in the order they were called.
// Stream outputs run on the queue given with the output. Timing (10 ms audio buffers,
// pictures paced by FramePacer, scripted delays) is the executor's.
//
// Pictures follow the content: a stream takes one at start and then one for each change
// of what it shows (paint, a resize, the cursor with showsCursor), at most one per minimum
// frame interval. Content is moving by default (it changes all the time, so pictures come
// every interval, 1/60 s when none is set); setContentMoving(false) makes it still. A
// picture is the target's colour, scaled into the configured size with its aspect kept
// and centred on black.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ScreenCaptureService.hpp"
#include "runtime/Executor.hpp"

namespace qb {

class SimCaptureStream;

// Operations that can be made to fail or take time.
enum class SimScreenOp {
  shareableContent,
  addStreamOutput,
  removeStreamOutput,
  startCapture,
  stopCapture,
  updateContentFilter,
  captureImage
};

class SimScreenCaptureService final : public ScreenCaptureService,
                                      public std::enable_shared_from_this<SimScreenCaptureService> {
 public:
  static constexpr const char* kErrorDomain = "SimScreenCapture";

  struct Counters {
    int permissionRequests = 0;
    int shareableContentQueries = 0;
    int streamsCreated = 0;
    int captureStarts = 0;  // successful startCapture completions
    int captureStops = 0;   // successful stopCapture completions
    int filterUpdates = 0;  // successful updateContentFilter completions
    int streamsStoppedWithError = 0;
    int imagesCaptured = 0;
    uint64_t audioBuffersDelivered = 0;
    uint64_t videoFramesDelivered = 0;
  };
  struct ShareableQuery {
    bool excludingDesktopWindows = false;
    bool onScreenWindowsOnly = false;
  };

  explicit SimScreenCaptureService(Executor& executor);

  // --- Content -------------------------------------------------------------------
  void setPermissionGranted(bool granted);
  void setDisplays(std::vector<DisplayInfo> displays);
  void addDisplay(const DisplayInfo& display);
  // With stopStreams, capturing streams of that display stop with -3815.
  void removeDisplay(uint32_t displayID, bool stopStreams = true);
  void setWindows(std::vector<WindowInfo> windows);
  void addWindow(const WindowInfo& window);
  // With stopStreams, capturing streams of that window stop with -3815.
  void removeWindow(uint32_t windowID, bool stopStreams = true);
  // An unmapped window is not on screen and its streams take no pictures until it is
  // mapped again (which counts as a change).
  void setWindowMapped(uint32_t windowID, bool mapped);
  void resizeWindow(uint32_t windowID, double width, double height);

  // --- Content ---------------------------------------------------------------------
  void setContentMoving(bool moving);
  // The target's content becomes `colour` (0xAARRGGBB) and its streams take a picture.
  void paint(const ContentFilter& target, uint32_t colour);
  // Until painted, a colour made from the target's id.
  uint32_t colourOf(const ContentFilter& target) const;
  // The pointer moves: streams that show the cursor take a picture.
  void moveCursor();

  // --- Faults and timing -----------------------------------------------------------
  // The next `times` calls of `op` fail with `error` (times < 0: every call until
  // clearFailures). A failure is decided when the call is made.
  void failNext(SimScreenOp op, const PlatformError& error, int times = 1);
  void clearFailures();
  // Asynchronous operations of this kind complete `seconds` after the call.
  void setDelay(SimScreenOp op, double seconds);
  // No stream delivers audio while set (streams keep running, as a stalled one does).
  void setAudioStalled(bool stalled);
  // The system audio every stream carries; amplitude 0 is silence.
  void setSystemAudioTone(double frequency, double amplitude);
  // The picture captureImage returns; none: a generated one of the configured size.
  void setImage(std::optional<Image> image);

  // --- Streams -------------------------------------------------------------------
  // Streams that still exist, in creation order.
  std::vector<std::shared_ptr<SimCaptureStream>> liveStreams() const;
  std::shared_ptr<SimCaptureStream> latestStream() const;
  // Every capturing stream stops with this code through its delegate.
  void stopCapturingStreamsWithError(int64_t code, const std::string& description = {});
  // The display server goes away: every capturing stream that carries no audio stops
  // with -3821 (system audio comes from the sound server, which is still there).
  void loseDisplayServer();

  Counters counters() const;
  std::vector<ShareableQuery> shareableQueries() const;
  static PlatformError makeError(int64_t code, const std::string& description);

  // --- ScreenCaptureService ------------------------------------------------------
  bool requestPermission() override;
  void shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                        std::function<void(Result<ShareableContent>)> done) override;
  std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter, const StreamConfiguration& config,
                                            std::weak_ptr<StreamDelegate> delegate) override;
  void captureImage(const ContentFilter& filter, const StreamConfiguration& config,
                    std::function<void(Result<Image>)> done) override;

 private:
  friend class SimCaptureStream;

  struct Failure {
    PlatformError error;
    int remaining;  // < 0: unlimited
  };

  // Ends every capturing stream of that display or window.
  void stopStreamsShowing(const ContentFilter& gone, const std::string& message);

  // Used by streams.
  std::optional<PlatformError> takeFailure(SimScreenOp op);
  double delayFor(SimScreenOp op) const;
  bool targetExists(const ContentFilter& filter) const;
  // Size in pixels and whether it is shown; none when the target does not exist.
  struct TargetState {
    double width = 0, height = 0;
    bool mapped = true;
    uint32_t colour = 0;
  };
  std::optional<TargetState> targetState(const ContentFilter& filter) const;
  bool contentMoving() const;
  void notifyStreams(const std::function<bool(SimCaptureStream&)>& affected);
  bool audioStalled() const;
  std::pair<double, double> systemAudioTone() const;
  void count(const std::function<void(Counters&)>& change);
  std::shared_ptr<Queue> queue() const { return queue_; }
  Executor& executor() const { return executor_; }

  Executor& executor_;
  std::shared_ptr<Queue> queue_;
  mutable std::mutex mutex_;
  bool permission_ = true;
  std::vector<DisplayInfo> displays_;
  std::vector<WindowInfo> windows_;
  std::map<SimScreenOp, std::vector<Failure>> failures_;
  std::map<SimScreenOp, double> delays_;
  bool audioStalled_ = false;
  double toneFrequency_ = 440;
  double toneAmplitude_ = 0.1;
  std::optional<Image> image_;
  bool moving_ = true;
  std::map<std::pair<int, uint32_t>, uint32_t> colours_;  // (kind, id) -> colour
  std::vector<std::weak_ptr<SimCaptureStream>> streams_;
  Counters counters_;
  std::vector<ShareableQuery> queries_;
};

}  // namespace qb
