#pragma once
// Simulated displays, windows, capture streams and screenshots, scripted from tests.
//
// Thread-safe. Completions and stopped-with-error callbacks run as items of the
// service's "sim.screen" queue, never inside the call that asked for them, each
// exactly once; operations on one stream complete in the order they were called.
// Stream outputs run on the queue given with the output. Timing (10 ms audio buffers,
// frames at the minimum frame interval, scripted delays) is the executor's.

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
  std::vector<std::weak_ptr<SimCaptureStream>> streams_;
  Counters counters_;
  std::vector<ShareableQuery> queries_;
};

}  // namespace qb
