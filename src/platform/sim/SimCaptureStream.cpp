#include "platform/sim/SimCaptureStream.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/sim/SimAudioSignal.hpp"
#include "platform/sim/SimScreenCaptureService.hpp"

namespace qb {

namespace {

constexpr double kAudioInterval = 0.01;
constexpr double kDefaultPictureInterval = 1.0 / 60;

// Paints `colour` (0xAARRGGBB) over the picture, letterboxed: the target's aspect kept,
// centred on black. Moving content shows `motion` as a grey top row of the target, so
// that consumers can tell its pictures apart.
void paintPicture(VideoFrame& frame, double targetWidth, double targetHeight, uint32_t colour,
                  std::optional<uint8_t> motion) {
  const double scale =
      targetWidth > 0 && targetHeight > 0 ? std::min(frame.width / targetWidth, frame.height / targetHeight) : 0;
  const int cw = std::min(frame.width, int(targetWidth * scale + 0.5));
  const int ch = std::min(frame.height, int(targetHeight * scale + 0.5));
  const int cx = (frame.width - cw) / 2, cy = (frame.height - ch) / 2;
  auto inside = [&](int x, int y) { return x >= cx && x < cx + cw && y >= cy && y < cy + ch; };
  const int r = (colour >> 16) & 0xFF, g = (colour >> 8) & 0xFF, b = colour & 0xFF;
  if (frame.pixelFormat == kPixelFormat420v) {
    // BT.601 video range.
    const auto Y = static_cast<uint8_t>(16 + (66 * r + 129 * g + 25 * b + 128) / 256);
    const auto U = static_cast<uint8_t>(128 + (-38 * r - 74 * g + 112 * b + 128) / 256);
    const auto V = static_cast<uint8_t>(128 + (112 * r - 94 * g - 18 * b + 128) / 256);
    for (int y = 0; y < frame.height; ++y) {
      uint8_t* luma = frame.planes[0] + ptrdiff_t(y) * frame.strides[0];
      uint8_t* chroma = frame.planes[1] + ptrdiff_t(y / 2) * frame.strides[1];
      for (int x = 0; x < frame.width; ++x) {
        const bool in = inside(x, y);
        luma[x] = in ? (motion && y == cy ? *motion : Y) : 16;
        chroma[x / 2 * 2] = in ? U : 128;
        chroma[x / 2 * 2 + 1] = in ? V : 128;
      }
    }
    return;
  }
  for (int y = 0; y < frame.height; ++y) {
    uint8_t* p = frame.planes[0] + ptrdiff_t(y) * frame.strides[0];
    for (int x = 0; x < frame.width; ++x, p += 4) {
      const bool in = inside(x, y);
      p[0] = in ? static_cast<uint8_t>(b) : 0;
      p[1] = in ? static_cast<uint8_t>(g) : 0;
      p[2] = in ? static_cast<uint8_t>(r) : 0;
      if (in && motion && y == cy) p[0] = p[1] = p[2] = *motion;
      p[3] = 0xFF;
    }
  }
}

size_t slot(StreamOutputType t) { return static_cast<size_t>(t); }

PlatformError streamError(int64_t code, const std::string& description) {
  return SimScreenCaptureService::makeError(code, description);
}

}  // namespace

SimCaptureStream::SimCaptureStream(std::weak_ptr<SimScreenCaptureService> service, Executor& executor,
                                   std::shared_ptr<Queue> queue, int serial, const ContentFilter& filter,
                                   const StreamConfiguration& config, std::weak_ptr<StreamDelegate> delegate)
    : service_(std::move(service)),
      executor_(executor),
      queue_(std::move(queue)),
      serial_(serial),
      config_(config),
      delegate_(std::move(delegate)),
      filter_(filter),
      pacer_(config.minimumFrameIntervalValue > 0 && config.minimumFrameIntervalTimescale > 0
                 ? double(config.minimumFrameIntervalValue) / config.minimumFrameIntervalTimescale
                 : kDefaultPictureInterval),
      pictures_(config.width, config.height, config.pixelFormat) {}

SimCaptureStream::~SimCaptureStream() {
  audioTimer_.cancel();
  pictureTimer_.cancel();
}

std::optional<PlatformError> SimCaptureStream::addStreamOutput(std::weak_ptr<StreamOutput> output,
                                                               StreamOutputType type, std::shared_ptr<Queue> queue) {
  auto svc = service_.lock();
  if (!svc) return streamError(StreamErrorCode::kFailed, "The capture service is gone");
  if (auto failure = svc->takeFailure(SimScreenOp::addStreamOutput)) return failure;
  std::lock_guard lock(mutex_);
  outputs_[slot(type)] = Output{std::move(output), std::move(queue), nextToken_++};
  if (type == StreamOutputType::screen) pacer_.start();  // a new receiver gets a first picture
  if (capturing_) armTimersLocked();
  return std::nullopt;
}

std::optional<PlatformError> SimCaptureStream::removeStreamOutput(StreamOutputType type) {
  auto svc = service_.lock();
  if (!svc) return streamError(StreamErrorCode::kFailed, "The capture service is gone");
  if (auto failure = svc->takeFailure(SimScreenOp::removeStreamOutput)) return failure;
  std::lock_guard lock(mutex_);
  Output& o = outputs_[slot(type)];
  if (!o.queue) return streamError(StreamErrorCode::kFailed, "The stream has no output of that type");
  o = Output{};
  return std::nullopt;
}

void SimCaptureStream::startCapture(ErrorCompletion done) {
  std::weak_ptr<SimCaptureStream> weak = weak_from_this();
  completeLater(
      SimScreenOp::startCapture,
      [weak]() -> std::optional<PlatformError> {
        auto self = weak.lock();
        auto svc = self ? self->service_.lock() : nullptr;
        if (!svc) return streamError(StreamErrorCode::kFailed, "The capture service is gone");
        if (!svc->targetExists(self->filter()))
          return streamError(StreamErrorCode::kDisplayUnavailable, "The capture target is not available");
        {
          std::lock_guard lock(self->mutex_);
          if (self->capturing_) return streamError(StreamErrorCode::kFailed, "The stream is already capturing");
          self->capturing_ = true;
          ++self->generation_;
          self->pacer_.start();
          self->armTimersLocked();
        }
        svc->count([](auto& c) { ++c.captureStarts; });
        return std::nullopt;
      },
      std::move(done));
}

void SimCaptureStream::stopCapture(ErrorCompletion done) {
  std::weak_ptr<SimCaptureStream> weak = weak_from_this();
  completeLater(
      SimScreenOp::stopCapture,
      [weak]() -> std::optional<PlatformError> {
        auto self = weak.lock();
        auto svc = self ? self->service_.lock() : nullptr;
        if (!svc) return streamError(StreamErrorCode::kFailed, "The capture service is gone");
        {
          std::lock_guard lock(self->mutex_);
          if (!self->capturing_) return streamError(StreamErrorCode::kFailed, "The stream is not capturing");
          self->capturing_ = false;
          ++self->generation_;
          self->cancelTimersLocked();
        }
        svc->count([](auto& c) { ++c.captureStops; });
        return std::nullopt;
      },
      std::move(done));
}

void SimCaptureStream::updateContentFilter(const ContentFilter& filter, ErrorCompletion done) {
  std::weak_ptr<SimCaptureStream> weak = weak_from_this();
  completeLater(
      SimScreenOp::updateContentFilter,
      [weak, filter]() -> std::optional<PlatformError> {
        auto self = weak.lock();
        auto svc = self ? self->service_.lock() : nullptr;
        if (!svc) return streamError(StreamErrorCode::kFailed, "The capture service is gone");
        if (!svc->targetExists(filter))
          return streamError(StreamErrorCode::kFailed, "The capture target is not available");
        {
          std::lock_guard lock(self->mutex_);
          self->filter_ = filter;
          self->pacer_.changed();  // the next picture is of the new target
          if (self->capturing_) self->schedulePictureLocked();
        }
        svc->count([](auto& c) { ++c.filterUpdates; });
        return std::nullopt;
      },
      std::move(done));
}

ContentFilter SimCaptureStream::filter() const {
  std::lock_guard lock(mutex_);
  return filter_;
}

bool SimCaptureStream::shows(const ContentFilter& target) const {
  std::lock_guard lock(mutex_);
  if (filter_.kind != target.kind) return false;
  return target.kind == ContentFilter::Kind::display ? filter_.displayID == target.displayID
                                                     : filter_.windowID == target.windowID;
}

void SimCaptureStream::contentChanged() {
  std::lock_guard lock(mutex_);
  pacer_.changed();
  if (capturing_) schedulePictureLocked();
}

bool SimCaptureStream::isCapturing() const {
  std::lock_guard lock(mutex_);
  return capturing_;
}

bool SimCaptureStream::hasOutput(StreamOutputType type) const {
  std::lock_guard lock(mutex_);
  return outputs_[slot(type)].queue != nullptr;
}

int SimCaptureStream::audioBuffersDelivered() const {
  std::lock_guard lock(mutex_);
  return audioDelivered_;
}

int SimCaptureStream::videoFramesDelivered() const {
  std::lock_guard lock(mutex_);
  return videoDelivered_;
}

int SimCaptureStream::videoFramesSkipped() const {
  std::lock_guard lock(mutex_);
  return videoSkipped_;
}

void SimCaptureStream::stopWithError(int64_t code, const std::string& description) {
  {
    std::lock_guard lock(mutex_);
    capturing_ = false;
    ++generation_;
    cancelTimersLocked();
  }
  if (auto svc = service_.lock()) svc->count([](auto& c) { ++c.streamsStoppedWithError; });
  PlatformError error = streamError(code, description.empty() ? "The stream stopped" : description);
  auto self = shared_from_this();  // a stopping stream lives until its delegate heard of it
  queue_->async([self, error] {
    if (auto d = self->delegate_.lock()) d->streamDidStop(*self, error);
  });
}

void SimCaptureStream::setAudioStalled(bool stalled) {
  std::lock_guard lock(mutex_);
  stalled_ = stalled;
}

void SimCaptureStream::deliverAudio(const AudioSampleBuffer& buffer) {
  post(StreamOutputType::audio,
       [buffer](StreamOutput& o, const CaptureStream& s) { o.streamDidOutputAudio(s, buffer); });
}

void SimCaptureStream::deliverVideo(const VideoFrame& frame) {
  post(StreamOutputType::screen,
       [frame](StreamOutput& o, const CaptureStream& s) { o.streamDidOutputVideo(s, frame); });
}

void SimCaptureStream::completeLater(SimScreenOp op, std::function<std::optional<PlatformError>()> effect,
                                     ErrorCompletion done) {
  auto svc = service_.lock();
  auto failure = svc ? svc->takeFailure(op) : streamError(StreamErrorCode::kFailed, "The capture service is gone");
  const double now = executor_.clock().uptime();
  double due = now + std::max(0.0, svc ? svc->delayFor(op) : 0.0);
  {
    std::lock_guard lock(mutex_);
    due = std::max(due, lastCompletionDue_);  // operations on one stream finish in call order
    lastCompletionDue_ = due;
  }
  // The completion keeps the stream alive until it ran, as the real service does.
  auto self = shared_from_this();
  queue_->asyncAfter(due - now, [self, failure, effect = std::move(effect), done = std::move(done)] {
    done(failure ? failure : effect());
  });
}

void SimCaptureStream::armTimersLocked() {
  std::weak_ptr<SimCaptureStream> weak = weak_from_this();
  if (config_.capturesAudio && !audioTimer_.valid()) {
    audioTimer_ = scheduleRepeating(queue_, kAudioInterval, kAudioInterval, [weak] {
      if (auto self = weak.lock()) self->audioTick();
    });
  }
  schedulePictureLocked();
}

void SimCaptureStream::schedulePictureLocked() {
  auto due = pacer_.due();
  if (!due || !outputs_[slot(StreamOutputType::screen)].queue) return;
  const double now = executor_.clock().uptime();
  const double at = std::max(*due, now);
  if (pictureTimer_.valid() && !pictureTimer_.isCancelled() && pictureDue_ <= at) return;
  pictureTimer_.cancel();
  pictureDue_ = at;
  std::weak_ptr<SimCaptureStream> weak = weak_from_this();
  pictureTimer_ = queue_->asyncAfter(at - now, [weak] {
    if (auto self = weak.lock()) self->takePicture();
  });
}

void SimCaptureStream::cancelTimersLocked() {
  audioTimer_.cancel();
  pictureTimer_.cancel();
  audioTimer_ = TaskHandle{};
  pictureTimer_ = TaskHandle{};
}

void SimCaptureStream::audioTick() {
  auto svc = service_.lock();
  if (!svc || svc->audioStalled()) return;
  auto [frequency, amplitude] = svc->systemAudioTone();
  AudioSampleBuffer buffer;
  {
    std::lock_guard lock(mutex_);
    if (!capturing_ || stalled_ || !outputs_[slot(StreamOutputType::audio)].queue) return;
    const double rate = config_.sampleRate > 0 ? config_.sampleRate : 48000;
    const auto channels = static_cast<uint32_t>(std::max(config_.channelCount, 1));
    auto d = pcmDescription(SampleFormat::Float32, rate, channels, true);
    buffer = sineBuffer(d, static_cast<size_t>(rate * kAudioInterval), frequency, amplitude, phase_);
  }
  buffer.captureTimeUs = captureClockUs(executor_.clock()) - std::llround(kAudioInterval * 1e6);
  deliverAudio(buffer);
}

void SimCaptureStream::takePicture() {
  auto svc = service_.lock();
  if (!svc) return;
  const auto state = svc->targetState(filter());
  const bool moving = svc->contentMoving();
  const double now = executor_.clock().uptime();
  VideoFrame frame;
  {
    std::lock_guard lock(mutex_);
    pictureTimer_ = TaskHandle{};
    if (!capturing_ || !outputs_[slot(StreamOutputType::screen)].queue) return;
    if (!state || !state->mapped) {
      pacer_.clear();  // nothing to show until the window is mapped again
      return;
    }
    if (!pacer_.isDue(now)) return schedulePictureLocked();
    auto picture = pictures_.acquire();
    if (!picture) {
      ++videoSkipped_;
      pacer_.skipped(now);
      return schedulePictureLocked();
    }
    pacer_.taken(now);
    if (moving) pacer_.changed();  // moving content has changed again by the next interval
    schedulePictureLocked();
    frame = std::move(picture->frame);
    std::optional<uint8_t> motion;
    if (moving) motion = static_cast<uint8_t>(16 + (motionStep_++ * 7) % 200);
    paintPicture(frame, state->width, state->height, state->colour, motion);
  }
  frame.presentationTime = now;
  deliverVideo(frame);
}

void SimCaptureStream::post(StreamOutputType type, std::function<void(StreamOutput&, const CaptureStream&)> call) {
  Output target;
  uint64_t generation;
  {
    std::lock_guard lock(mutex_);
    if (!capturing_) return;
    target = outputs_[slot(type)];
    generation = generation_;
  }
  if (!target.queue) return;
  std::weak_ptr<SimCaptureStream> weak = weak_from_this();
  target.queue->async([weak, type, target, generation, call = std::move(call)] {
    auto self = weak.lock();
    if (!self) return;
    {
      // Dropped when the stream stopped or the output was removed in the meantime.
      std::lock_guard lock(self->mutex_);
      if (!self->capturing_ || self->generation_ != generation || self->outputs_[slot(type)].token != target.token)
        return;
      if (type == StreamOutputType::audio)
        ++self->audioDelivered_;
      else
        ++self->videoDelivered_;
    }
    auto receiver = target.receiver.lock();
    if (!receiver) return;
    if (auto svc = self->service_.lock())
      svc->count([type](auto& c) {
        if (type == StreamOutputType::audio)
          ++c.audioBuffersDelivered;
        else
          ++c.videoFramesDelivered;
      });
    call(*receiver, *self);
  });
}

}  // namespace qb
