#include "screen/ScreenVideoSource.hpp"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "platform/ScreenCaptureWaits.hpp"
#include "wire/JsonText.hpp"
#include "wire/Output.hpp"

namespace qb {

namespace {

constexpr PrefixedLog log{"ScreenVideoSource: "};

// Why a capture ended on its own, as VIDEO_STOPPED names it.
const char* endReason(int64_t code, ContentFilter::Kind kind) {
  switch (code) {
    case StreamErrorCode::kDisplayUnavailable:
      return kind == ContentFilter::Kind::window ? "windowClosed" : "displayRemoved";
    case StreamErrorCode::kConnectionLost:
      return "connectionLost";
    case StreamErrorCode::kUserStopped:
      return "sharingEnded";
    default:
      return "failed";
  }
}

}  // namespace

// What one capture run shares with the frames in its encoder: the encoder itself, the
// timestamp origin and the flow control. Outputs of an earlier run find their own Run,
// never the current one.
struct ScreenVideoSource::Run {
  explicit Run(std::shared_ptr<VideoEncoder> e) : encoder(std::move(e)) {}
  const std::shared_ptr<VideoEncoder> encoder;
  std::mutex lock;  // guards the fields below
  std::optional<double> captureStartTime;
  std::optional<double> lastKeyframe;  // presentation time of the last keyframe asked for or seen
  int framesInFlight = 0;              // submitted and not yet written (or dropped)
  int framesEncoding = 0;              // of those, not yet back from the encoder
  std::optional<VideoFrame> heldPicture;
  // Skipped since the last log line, by what held the frames up: all of them still in the
  // encoder, or some encoded and waiting for standard output.
  uint64_t skippedForEncoder = 0;
  uint64_t skippedForOutput = 0;
  std::optional<double> lastSkipLog;
  bool timingWritten = false;  // on the output queue only
};

std::shared_ptr<ScreenVideoSource> ScreenVideoSource::make(const Platform& platform, const VideoFormat& format) {
  return std::make_shared<ScreenVideoSource>(platform, format);
}

ScreenVideoSource::ScreenVideoSource(const Platform& platform, const VideoFormat& format)
    : executor_(*platform.executor),
      screen_(platform.screen),
      encoders_(platform.videoEncoders),
      targetWidth_(format.width),
      targetHeight_(format.height),
      targetFPS_(format.fps),
      targetBitrate_(format.bitrate),
      videoQueue_(executor_.makeQueue("video.capture")),
      outputQueue_(executor_.makeQueue("video.output")) {}

ScreenVideoSource::~ScreenVideoSource() {
  // No waiting here: the last reference may go on any thread, the encoder's included.
  if (stream_) (void)stream_->removeStreamOutput(StreamOutputType::screen);
  if (run_) run_->encoder->invalidate();
}

std::optional<VideoSourceError> ScreenVideoSource::checkSettings(int64_t width, int64_t height, int64_t fps,
                                                                 int64_t bitrate) {
  const std::string size = std::to_string(width) + "x" + std::to_string(height);
  if (width <= 0 || height <= 0)
    return VideoSourceError::invalidSettings("Invalid size " + size + ": width and height must be positive");
  if (width > kMaxSide || height > kMaxSide || ((width + 15) / 16) * ((height + 15) / 16) > kMaxMacroblocks)
    return VideoSourceError::invalidSettings("Invalid size " + size + ": H.264 allows at most " +
                                             std::to_string(kMaxSide) + " pixels a side and " +
                                             std::to_string(kMaxMacroblocks) + " macroblocks a picture");
  if (width % 2 != 0 || height % 2 != 0)
    return VideoSourceError::invalidSettings("Invalid size " + size +
                                             ": width and height must be even for 4:2:0 video");
  if (fps < 1 || fps > 255)
    return VideoSourceError::invalidSettings("Invalid frame rate " + std::to_string(fps) + ": it must lie in 1...255");
  if (bitrate <= 0)
    return VideoSourceError::invalidSettings("Invalid bit rate " + std::to_string(bitrate) + ": it must be positive");
  return std::nullopt;
}

ScreenVideoSource::Stats ScreenVideoSource::stats() const {
  std::lock_guard lock(stateLock_);
  return stats_;
}

// ---- start, switch, stop ----

std::optional<ScreenVideoError> ScreenVideoSource::lookUpTarget(const VideoTarget& target, ContentFilter& filter) {
  const uint32_t targetID = target.id;
  auto content = awaitShareableContent(executor_, *screen_, false, false);
  if (auto* error = std::get_if<PlatformError>(&content)) return *error;
  const auto& found = std::get<ShareableContent>(content);
  // Where the user picks in the desktop's dialog, windows are not listed and cannot be named:
  // the kind says what the dialog offers, and an earlier choice may be taken again.
  if (screen_->userChoosesTargets() && target.type != "display") {
    filter = ContentFilter::forWindow(targetID);
    filter.restoreToken = target.restoreToken;
    return std::nullopt;
  }
  if (target.type == "display") {
    // Display ids are never 0, so 0 (START_VIDEO's default) can stand for the first one.
    if (targetID == 0 && !found.displays.empty()) {
      filter = ContentFilter::forDisplay(found.displays.front().displayID);
      filter.restoreToken = target.restoreToken;
      return std::nullopt;
    }
    for (const auto& d : found.displays)
      if (d.displayID == targetID) {
        filter = ContentFilter::forDisplay(targetID);
        filter.restoreToken = target.restoreToken;
        return std::nullopt;
      }
    return VideoSourceError::targetNotFound("Display " + std::to_string(targetID) + " not found");
  }
  for (const auto& w : found.windows)
    if (w.windowID == targetID) {
      filter = ContentFilter::forWindow(targetID);
      return std::nullopt;
    }
  return VideoSourceError::targetNotFound("Window " + std::to_string(targetID) + " not found");
}

std::variant<std::shared_ptr<VideoEncoder>, VideoSourceError> ScreenVideoSource::createCompressionSession() {
  EncoderSettings settings;
  settings.width = static_cast<int>(targetWidth_);  // checkSettings keeps all four in range
  settings.height = static_cast<int>(targetHeight_);
  settings.fps = static_cast<int>(targetFPS_);
  settings.bitrate = targetBitrate_;
  auto created = encoders_->create(settings);
  if (auto* status = std::get_if<int32_t>(&created)) return VideoSourceError::encoderCreationFailed(*status);
  std::shared_ptr<VideoEncoder> encoder = std::move(std::get<std::unique_ptr<VideoEncoder>>(created));
  if (!encoder) return VideoSourceError::encoderCreationFailed(-1);
  log("H264 encoder created (Main Profile, " + std::to_string(targetBitrate_ / 1000) + "kbps, IDR every " +
      std::to_string(targetFPS_) + " frames)");
  return encoder;
}

std::optional<ScreenVideoError> ScreenVideoSource::start(const VideoTarget& target) {
  if (isActive_) {
    log("already active");
    return std::nullopt;
  }
  if (auto invalid = checkSettings(targetWidth_, targetHeight_, targetFPS_, targetBitrate_)) return *invalid;
  log("starting capture (" + std::to_string(targetWidth_) + "x" + std::to_string(targetHeight_) + " @" +
      std::to_string(targetFPS_) + "fps, " + std::to_string(targetBitrate_ / 1000) + "kbps)");

  ContentFilter filter;
  if (auto error = lookUpTarget(target, filter)) return error;

  StreamConfiguration config;
  config.width = static_cast<int>(targetWidth_);
  config.height = static_cast<int>(targetHeight_);
  config.minimumFrameIntervalValue = 1;
  config.minimumFrameIntervalTimescale = static_cast<int32_t>(targetFPS_);
  config.pixelFormat = kPixelFormat420v;
  config.capturesAudio = false;
  config.showsCursor = true;

  // A failed start keeps no encoder: nothing of it is left running.
  auto created = createCompressionSession();
  if (auto* error = std::get_if<VideoSourceError>(&created)) return *error;
  auto run = std::make_shared<Run>(std::get<std::shared_ptr<VideoEncoder>>(std::move(created)));

  auto stream = screen_->makeStream(filter, config, weak_from_this());
  if (auto error = stream->addStreamOutput(weak_from_this(), StreamOutputType::screen, videoQueue_)) {
    run->encoder->invalidate();
    return *error;
  }
  {
    std::lock_guard lock(outputLock_);
    packager_.startRun();
  }
  {
    std::lock_guard lock(stateLock_);
    run_ = run;
    forceNextKeyframe_ = true;
    startingStream_ = stream;
    startingStreamError_.reset();
  }

  auto failed = [&](ScreenVideoError error) -> std::optional<ScreenVideoError> {
    {
      std::lock_guard lock(stateLock_);
      run_.reset();
      startingStream_.reset();
    }
    (void)stream->removeStreamOutput(StreamOutputType::screen);
    run->encoder->invalidate();
    return error;
  };
  if (auto error = awaitStartCapture(executor_, *stream)) return failed(*error);

  std::optional<PlatformError> stoppedMeanwhile;
  {
    std::lock_guard lock(stateLock_);
    startingStream_.reset();
    stoppedMeanwhile = std::exchange(startingStreamError_, std::nullopt);
    if (!stoppedMeanwhile) {
      stream_ = stream;
      capturing_ = filter;
      isActive_ = true;
    }
  }
  if (stoppedMeanwhile) {
    (void)awaitStopCapture(executor_, *stream);
    return failed(*stoppedMeanwhile);
  }
  log("started successfully");
  reportRestoreToken(*stream, filter);
  return std::nullopt;
}

void ScreenVideoSource::reportRestoreToken(const CaptureStream& stream, const ContentFilter& filter) {
  auto token = stream.restoreToken();
  if (!token) return;
  const bool window = filter.kind == ContentFilter::Kind::window;
  sendEvent("SCREEN_SHARE_RESTORE_TOKEN:" +
            jsonText({{"restoreToken", *token}, {"type", window ? "window" : "display"}}));
}

std::optional<ScreenVideoError> ScreenVideoSource::switchTarget(const VideoTarget& target) {
  std::shared_ptr<CaptureStream> stream;
  {
    std::lock_guard lock(stateLock_);
    if (!isActive_ || !stream_) return VideoSourceError::targetNotFound("No active stream");
    if (isSwitching_) return VideoSourceError::targetNotFound("Switch already in progress");
    isSwitching_ = true;
    stream = stream_;
  }
  struct SwitchEnd {
    ScreenVideoSource& self;
    ~SwitchEnd() {
      std::lock_guard lock(self.stateLock_);
      self.isSwitching_ = false;
    }
  } switchEnd{*this};

  if (target.type != "display" && target.type != "window")
    return VideoSourceError::targetNotFound("Invalid target type: " + target.type);
  if (target.id == 0) return VideoSourceError::targetNotFound("Invalid target ID: 0");

  ContentFilter filter;
  if (auto error = lookUpTarget(target, filter)) return error;
  if (auto error = awaitContentFilterUpdate(executor_, *stream, filter)) return *error;

  // Pictures of the old target already handed over go first, so that the forced
  // keyframe falls on the new one; a held picture shows the old target and goes.
  videoQueue_->sync([] {});
  {
    std::lock_guard lock(stateLock_);
    forceNextKeyframe_ = true;
    capturing_ = filter;
    if (run_) {
      std::lock_guard runLock(run_->lock);
      run_->heldPicture.reset();
    }
  }
  log("switched to " + target.type + ":" + std::to_string(target.id));
  reportRestoreToken(*stream, filter);
  return std::nullopt;
}

bool ScreenVideoSource::stopRun(const CaptureStream* only) {
  std::shared_ptr<CaptureStream> stream;
  std::shared_ptr<Run> run;
  {
    std::lock_guard lock(stateLock_);
    if (!isActive_ || (only && stream_.get() != only)) return false;
    isActive_ = false;
    stream = std::exchange(stream_, nullptr);
    run = std::exchange(run_, nullptr);
  }
  log("stopping...");
  if (stream) {
    (void)stream->removeStreamOutput(StreamOutputType::screen);
    // A picture being submitted right now finishes before the encoder is flushed.
    videoQueue_->sync([] {});
    (void)awaitStopCapture(executor_, *stream);
  }
  if (run) {
    // Frames completed here are still packaged and written.
    run->encoder->completeFrames();
    run->encoder->invalidate();
    Signal written;
    outputQueue_->async([&written] { written.notify(); });
    // Bounded: a host that has stopped reading must not hold up the command.
    executor_.waitFor(written, kOutputDrainTimeout);
    logSkipped(*run, true);
  }
  log("stopped");
  return true;
}

void ScreenVideoSource::endOnItsOwn(const CaptureStream* stream, const PlatformError& error) {
  ContentFilter target;
  {
    std::lock_guard lock(stateLock_);
    target = capturing_;
  }
  // The host may have stopped or restarted the source meanwhile: that stop was its own.
  if (!stopRun(stream)) return;
  const bool window = target.kind == ContentFilter::Kind::window;
  sendEvent("VIDEO_STOPPED:" + jsonText({{"reason", endReason(error.code, target.kind)},
                                         {"type", window ? "window" : "display"},
                                         {"id", window ? target.windowID : target.displayID},
                                         {"error", error.printed()}}));
}

void ScreenVideoSource::streamDidStop(const CaptureStream& stream, const PlatformError& error) {
  log("stream stopped with error: " + error.printed());
  std::weak_ptr<CaptureStream> ended;
  {
    std::lock_guard lock(stateLock_);
    if (startingStream_.get() == &stream) {
      startingStreamError_ = error;
      return;
    }
    // A stream of an earlier run cannot stop this one.
    if (stream_.get() != &stream) return;
    ended = stream_;
  }
  std::weak_ptr<ScreenVideoSource> weak = weak_from_this();
  executor_.runAsync([weak, ended, error] {
    auto self = weak.lock();
    // A stream that is gone was stopped by the host meanwhile, and so was its run.
    if (auto stream = ended.lock(); self && stream) self->endOnItsOwn(stream.get(), error);
  });
}

// ---- frames ----

void ScreenVideoSource::streamDidOutputVideo(const CaptureStream& stream, const VideoFrame& frame) {
  if (!isActive_) return;
  std::shared_ptr<Run> run;
  {
    std::lock_guard lock(stateLock_);
    if (stream_.get() != &stream || !run_) return;
    run = run_;
    ++stats_.picturesReceived;
  }
  bool skip;
  {
    std::lock_guard lock(run->lock);
    if (!run->captureStartTime) run->captureStartTime = frame.presentationTime;
    skip = run->framesInFlight >= kMaxFramesInFlight;
    if (skip) {
      run->heldPicture = frame;  // the newest waits for room; older ones are gone
      ++(run->framesEncoding >= run->framesInFlight ? run->skippedForEncoder : run->skippedForOutput);
    } else {
      ++run->framesInFlight;
      ++run->framesEncoding;
      run->heldPicture.reset();
    }
  }
  if (skip) {
    {
      std::lock_guard lock(stateLock_);
      ++stats_.picturesSkipped;
    }
  } else {
    submit(run, frame);
  }
  logSkipped(*run, false);
}

void ScreenVideoSource::logSkipped(Run& run, bool now) {
  const double time = executor_.clock().uptime();
  uint64_t forEncoder = 0, forOutput = 0;
  {
    std::lock_guard lock(run.lock);
    if (run.skippedForEncoder + run.skippedForOutput == 0) return;
    if (!now && run.lastSkipLog && time - *run.lastSkipLog < kSkipLogInterval) return;
    run.lastSkipLog = time;
    forEncoder = std::exchange(run.skippedForEncoder, 0);
    forOutput = std::exchange(run.skippedForOutput, 0);
  }
  auto line = [](uint64_t count, const char* behind) {
    if (count == 0) return;
    log("skipped " + std::to_string(count) + " picture" + (count == 1 ? "" : "s") + " before encoding while " + behind +
        " was behind");
  };
  line(forEncoder, "the encoder");
  line(forOutput, "standard output");
}

void ScreenVideoSource::submit(const std::shared_ptr<Run>& run, const VideoFrame& frame) {
  bool force;
  {
    std::lock_guard lock(stateLock_);
    force = std::exchange(forceNextKeyframe_, false);
  }
  {
    std::lock_guard lock(run->lock);
    if (!run->lastKeyframe || frame.presentationTime - *run->lastKeyframe > kMaxKeyframeInterval) force = true;
    if (force) run->lastKeyframe = frame.presentationTime;
  }
  std::weak_ptr<ScreenVideoSource> weakSelf = weak_from_this();
  std::weak_ptr<Run> weakRun = run;
  run->encoder->encode(frame, force,
                       [weakSelf, weakRun](std::optional<PlatformError> error, const EncodedFrame* encoded) {
                         auto self = weakSelf.lock();
                         auto run = weakRun.lock();
                         if (self && run) self->handleEncodedFrame(run, error, encoded);
                       });
}

void ScreenVideoSource::submitHeldPicture(const std::shared_ptr<Run>& run) {
  if (!isActive_) return;
  std::optional<VideoFrame> picture;
  {
    std::lock_guard lock(run->lock);
    if (!run->heldPicture || run->framesInFlight >= kMaxFramesInFlight) return;
    picture = std::exchange(run->heldPicture, std::nullopt);
    ++run->framesInFlight;
    ++run->framesEncoding;
  }
  submit(run, *picture);
}

void ScreenVideoSource::handleEncodedFrame(const std::shared_ptr<Run>& run, const std::optional<PlatformError>& error,
                                           const EncodedFrame* frame) {
  {
    std::lock_guard lock(run->lock);
    --run->framesEncoding;
  }
  if (error) {
    log("encoder output error " + std::to_string(error->code));
    // The frames after it would refer to a picture the host never gets.
    {
      std::lock_guard lock(stateLock_);
      forceNextKeyframe_ = true;
    }
    return frameDone(run);
  }
  if (!frame) return frameDone(run);
  std::optional<double> origin;
  {
    std::lock_guard lock(run->lock);
    origin = run->captureStartTime;
    if (!frame->notSync)
      run->lastKeyframe = std::max(run->lastKeyframe.value_or(frame->presentationTime), frame->presentationTime);
  }
  std::optional<VideoPacket> packet;
  {
    std::lock_guard lock(outputLock_);
    packet = packager_.package(*frame, origin);
  }
  if (!packet) return frameDone(run);
  std::weak_ptr<ScreenVideoSource> weakSelf = weak_from_this();
  const int64_t originUs = origin ? std::llround(*origin * 1e6) : 0;
  outputQueue_->async([weakSelf, run, originUs, packet = std::move(*packet),
                       width = static_cast<uint16_t>(targetWidth_), height = static_cast<uint16_t>(targetHeight_),
                       fps = static_cast<uint8_t>(targetFPS_)] {
    if (!std::exchange(run->timingWritten, true))
      sendEvent("VIDEO_TIMING:" + jsonText({{"sequence", packet.sequence},
                                            {"timestampUs", packet.pts},
                                            {"captureTimeUs", originUs + static_cast<int64_t>(packet.pts)}}));
    writeVideoFrame(width, height, fps, packet.isKeyframe, packet.pts, packet.annexB, packet.sequence);
    if (auto self = weakSelf.lock()) {
      {
        std::lock_guard lock(self->stateLock_);
        ++self->stats_.framesWritten;
      }
      self->frameDone(run);
    }
  });
}

void ScreenVideoSource::frameDone(const std::shared_ptr<Run>& run) {
  bool resume;
  {
    std::lock_guard lock(run->lock);
    --run->framesInFlight;
    resume = run->heldPicture.has_value();
  }
  if (!resume) return;
  std::weak_ptr<ScreenVideoSource> weakSelf = weak_from_this();
  videoQueue_->async([weakSelf, run] {
    if (auto self = weakSelf.lock()) self->submitHeldPicture(run);
  });
}

}  // namespace qb
