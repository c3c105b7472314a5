#include "platform/sim/SimCaptureStream.hpp"

#include <algorithm>
#include <cstring>

#include "platform/sim/SimAudioSignal.hpp"
#include "platform/sim/SimScreenCaptureService.hpp"

namespace qb {

namespace {

constexpr double kAudioInterval = 0.01;

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
      pictures_(config.width, config.height, config.pixelFormat) {}

SimCaptureStream::~SimCaptureStream() {
  audioTimer_.cancel();
  videoTimer_.cancel();
}

std::optional<PlatformError> SimCaptureStream::addStreamOutput(std::weak_ptr<StreamOutput> output,
                                                               StreamOutputType type, std::shared_ptr<Queue> queue) {
  auto svc = service_.lock();
  if (!svc) return streamError(StreamErrorCode::kFailed, "The capture service is gone");
  if (auto failure = svc->takeFailure(SimScreenOp::addStreamOutput)) return failure;
  std::lock_guard lock(mutex_);
  outputs_[slot(type)] = Output{std::move(output), std::move(queue), nextToken_++};
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
  if (outputs_[slot(StreamOutputType::screen)].queue && !videoTimer_.valid()) {
    double interval = 1.0 / 60;
    if (config_.minimumFrameIntervalValue > 0 && config_.minimumFrameIntervalTimescale > 0)
      interval = double(config_.minimumFrameIntervalValue) / config_.minimumFrameIntervalTimescale;
    videoTimer_ = scheduleRepeating(queue_, interval, interval, [weak] {
      if (auto self = weak.lock()) self->videoTick();
    });
  }
}

void SimCaptureStream::cancelTimersLocked() {
  audioTimer_.cancel();
  videoTimer_.cancel();
  audioTimer_ = TaskHandle{};
  videoTimer_ = TaskHandle{};
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
  deliverAudio(buffer);
}

void SimCaptureStream::videoTick() {
  auto svc = service_.lock();
  if (!svc) return;
  VideoFrame frame;
  {
    std::lock_guard lock(mutex_);
    if (!capturing_ || !outputs_[slot(StreamOutputType::screen)].queue) return;
    auto picture = pictures_.acquire();
    if (!picture) {
      ++videoSkipped_;
      return;
    }
    frame = std::move(picture->frame);
    // A different flat picture each frame, so consumers can tell frames apart.
    const auto shade = static_cast<uint8_t>(16 + (frameIndex_++ * 7) % 200);
    for (int row = 0; row < frame.height; ++row) {
      uint8_t* line = frame.planes[0] + static_cast<ptrdiff_t>(row) * frame.strides[0];
      if (frame.pixelFormat == kPixelFormat420v) {
        std::memset(line, shade, static_cast<size_t>(frame.width));
        continue;
      }
      for (int x = 0; x < frame.width; ++x) {
        line[4 * x] = line[4 * x + 1] = line[4 * x + 2] = shade;
        line[4 * x + 3] = 0xFF;
      }
    }
  }
  frame.presentationTime = executor_.clock().uptime();
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
