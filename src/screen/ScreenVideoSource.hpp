#pragma once
// Captures one display or window and streams it as H.264 video frames on standard
// output: pictures arrive on "video.capture", go to the encoder (a keyframe forced after
// start and after a switch), and each encoded frame is packaged as Annex B and written
// on "video.output", so that a host that reads late holds up neither the encoder nor the
// commands.
//
// When the host reads late, at most kMaxFramesInFlight pictures are between the encoder
// and standard output; later pictures are skipped before the encoder (the stream stays
// decodable) and the newest of them is kept, to be encoded as soon as there is room, so a
// screen that went still does not end on a stale picture.
//
// Keyframes: the first picture after a start or a switch, a picture more than a second of
// presentation time after the last keyframe (pictures come only on change, so a frame count
// alone could leave many seconds between them), and the picture after one the encoder lost.
//
// Timing: the first frame written of a run comes with the line
// EVENT:VIDEO_TIMING:{"sequence":N,"timestampUs":P,"captureTimeUs":T}, T being when that
// picture was captured on the platform's monotonic clock, so that T - P places every pts of
// the run on the clock the audio timing lines use.
//
// A capture that ends on its own (window closed, display removed, display server gone)
// stops the source and says so once, after its last frame:
// EVENT:VIDEO_STOPPED:{"reason":"windowClosed","type":"window","id":N,"error":"<printed>"}.
//
// Where the user picks the target in the desktop's dialog (Wayland), a start or switch that
// the desktop allows to be repeated says how, before its answer:
// EVENT:SCREEN_SHARE_RESTORE_TOKEN:{"restoreToken":"<token>","type":"display"}. The host keeps
// the token and passes it back as "restoreToken" to take the same choice without the dialog.
//
// start, switchTarget and stop are called from one thread at a time (the command loop,
// or the pool after the stream stopped on its own); they wait for the platform.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Platform.hpp"
#include "screen/H264Packager.hpp"
#include "screen/VideoSource.hpp"

namespace qb {

class ScreenVideoSource final : public VideoSource,
                                public StreamOutput,
                                public StreamDelegate,
                                public std::enable_shared_from_this<ScreenVideoSource> {
 public:
  static constexpr int kMaxFramesInFlight = 3;
  // Largest picture H.264 describes (level 6.2): sides and macroblocks.
  static constexpr int64_t kMaxSide = 8192;
  static constexpr int64_t kMaxMacroblocks = 139264;
  // How long stop waits for encoded frames to reach standard output.
  static constexpr double kOutputDrainTimeout = 1.0;
  static constexpr double kSkipLogInterval = 5.0;
  static constexpr double kMaxKeyframeInterval = 1.0;

  struct Stats {
    uint64_t picturesReceived = 0;  // while active
    uint64_t picturesSkipped = 0;   // never reached the encoder
    uint64_t framesWritten = 0;
  };

  // Needs platform.executor, .screen and .videoEncoders.
  static std::shared_ptr<ScreenVideoSource> make(const Platform& platform, const VideoFormat& format = {});
  ScreenVideoSource(const Platform& platform, const VideoFormat& format);
  ~ScreenVideoSource() override;
  ScreenVideoSource(const ScreenVideoSource&) = delete;
  ScreenVideoSource& operator=(const ScreenVideoSource&) = delete;

  // Settings that cannot go into the frame header or the encoder, refused before
  // anything starts: sizes that are not even and positive or too large for H.264, fps
  // outside 1...255, a bit rate that is not positive.
  static std::optional<VideoSourceError> checkSettings(int64_t width, int64_t height, int64_t fps, int64_t bitrate);

  // VideoSource. "display" captures the display with that id; any other type the window
  // with it. A switch takes "display" or "window" only.
  std::optional<ScreenVideoError> start(const VideoTarget& target) override;
  std::optional<ScreenVideoError> switchTarget(const VideoTarget& target) override;
  void stop() override { (void)stopRun(nullptr); }
  bool isActive() const override { return isActive_.load(); }

  Stats stats() const;

  // StreamOutput (on "video.capture") and StreamDelegate (on a service thread).
  void streamDidOutputVideo(const CaptureStream& stream, const VideoFrame& frame) override;
  void streamDidStop(const CaptureStream& stream, const PlatformError& error) override;

 private:
  struct Run;

  // Resolves display 0 to the first display; `filter` names what was found.
  std::optional<ScreenVideoError> lookUpTarget(const VideoTarget& target, ContentFilter& filter);
  // Stops the running capture (only when it is `stream`, if given); false when there was none.
  bool stopRun(const CaptureStream* stream);
  void endOnItsOwn(const CaptureStream* stream, const PlatformError& error);
  // Where the user chose the target, the token that takes the choice again, for the host to keep.
  void reportRestoreToken(const CaptureStream& stream, const ContentFilter& filter);
  std::variant<std::shared_ptr<VideoEncoder>, VideoSourceError> createCompressionSession();
  void submit(const std::shared_ptr<Run>& run, const VideoFrame& frame);
  void submitHeldPicture(const std::shared_ptr<Run>& run);
  void handleEncodedFrame(const std::shared_ptr<Run>& run, const std::optional<PlatformError>& error,
                          const EncodedFrame* frame);
  void frameDone(const std::shared_ptr<Run>& run);
  // At most once per kSkipLogInterval, and at the stop (`now`), so that every skip is counted.
  void logSkipped(Run& run, bool now);

  Executor& executor_;
  std::shared_ptr<ScreenCaptureService> screen_;
  std::shared_ptr<VideoEncoderFactory> encoders_;
  const int64_t targetWidth_;
  const int64_t targetHeight_;
  const int64_t targetFPS_;
  const int64_t targetBitrate_;
  std::shared_ptr<Queue> videoQueue_;
  std::shared_ptr<Queue> outputQueue_;

  // Guards the fields below; held for field updates only.
  mutable std::mutex stateLock_;
  std::atomic<bool> isActive_{false};  // written under stateLock_, read without it
  std::shared_ptr<CaptureStream> stream_;
  std::shared_ptr<Run> run_;
  ContentFilter capturing_;  // what stream_ shows
  bool forceNextKeyframe_ = false;
  bool isSwitching_ = false;
  // The stream being started; if it stops on its own before start returns, start fails.
  std::shared_ptr<CaptureStream> startingStream_;
  std::optional<PlatformError> startingStreamError_;
  Stats stats_;

  std::mutex outputLock_;  // encoder output thread(s) only
  H264Packager packager_;
};

}  // namespace qb
