#include "platform/sim/SimVideoEncoder.hpp"

#include <algorithm>
#include <utility>

namespace qb {

namespace {

// Wraps the shared encoder in the unique_ptr the interface hands out, so that work
// still queued on the encoder's queue can hold it weakly.
class OwnedEncoder final : public VideoEncoder {
 public:
  explicit OwnedEncoder(std::shared_ptr<SimVideoEncoder> e) : e_(std::move(e)) {}
  ~OwnedEncoder() override { e_->invalidate(); }
  void encode(const VideoFrame& frame, bool forceKeyframe,
              std::function<void(std::optional<PlatformError>, const EncodedFrame*)> output) override {
    e_->encode(frame, forceKeyframe, std::move(output));
  }
  void completeFrames() override { e_->completeFrames(); }
  void invalidate() override { e_->invalidate(); }

 private:
  std::shared_ptr<SimVideoEncoder> e_;
};

}  // namespace

SimVideoEncoder::SimVideoEncoder(Executor& executor, const EncoderSettings& settings,
                                 std::shared_ptr<SimVideoEncoderFactory> factory)
    : executor_(executor), settings_(settings), factory_(factory), queue_(executor.makeQueue("sim.encoder")) {}

std::vector<uint8_t> SimVideoEncoder::spsFor(const EncoderSettings& s) {
  // Main profile (77), level 4.0, then the size so that a size change shows.
  return {0x67, 0x4D, 0x40, 0x28, uint8_t(s.width >> 8), uint8_t(s.width), uint8_t(s.height >> 8), uint8_t(s.height)};
}

std::vector<uint8_t> SimVideoEncoder::ppsFor(const EncoderSettings&) { return {0x68, 0xEE, 0x3C, 0x80}; }

void SimVideoEncoder::encode(const VideoFrame& frame, bool forceKeyframe,
                             std::function<void(std::optional<PlatformError>, const EncodedFrame*)> output) {
  EncodedFrame encoded;
  {
    std::lock_guard lock(mutex_);
    if (invalidated_) return;
    const uint64_t gop = settings_.fps > 0 ? uint64_t(settings_.fps) : 1;
    const bool keyframe = forceKeyframe || frameNumber_ == 0 || sinceKeyframe_ >= gop;
    sinceKeyframe_ = keyframe ? 1 : sinceKeyframe_ + 1;
    const uint64_t n = frameNumber_++;
    std::vector<uint8_t> nal{uint8_t(keyframe ? 0x65 : 0x41)};
    // Never zero, so no start-code pattern can appear inside the unit.
    for (uint64_t i = 0; i < 12 + n % 5; ++i) nal.push_back(uint8_t(1 + (n + i) % 255));
    appendLengthPrefixed(encoded.lengthPrefixedNALs, nal);
    encoded.notSync = !keyframe;
    if (keyframe) encoded.parameterSets = {spsFor(settings_), ppsFor(settings_)};
    encoded.presentationTime = frame.presentationTime;
  }
  double delay = 0;
  if (auto f = factory_.lock()) {
    f->countSubmitted();
    if (double cost = f->encodeTime(); cost > 0) {
      const double now = executor_.clock().uptime();
      std::lock_guard lock(mutex_);
      busyUntil_ = std::max(busyUntil_, now) + cost;
      delay = busyUntil_ - now;
    }
  }
  {
    std::lock_guard lock(mutex_);
    ++pending_;
  }
  std::weak_ptr<SimVideoEncoder> weak = weak_from_this();
  // The picture stays held until its frame is out, as a real encoder holds it.
  queue_->asyncAfter(delay, [weak, held = frame, encoded = std::move(encoded), output = std::move(output)] {
    auto self = weak.lock();
    if (!self) return;
    // completeFrames returns once the last pending frame's output has run.
    struct Done {
      SimVideoEncoder& e;
      ~Done() {
        std::vector<std::shared_ptr<Signal>> waiters;
        {
          std::lock_guard lock(e.mutex_);
          if (--e.pending_ == 0) waiters.swap(e.drainWaiters_);
        }
        for (auto& w : waiters) w->notify();
      }
    } done{*self};
    {
      std::lock_guard lock(self->mutex_);
      if (self->invalidated_) return;
    }
    auto factory = self->factory_.lock();
    std::optional<int32_t> failure = factory ? factory->takeOutputFailure() : std::nullopt;
    if (factory) factory->countOutput(!encoded.notSync, failure.has_value());
    if (failure) return output(PlatformError{*failure, "SimVideoEncoder", "encoding failed"}, nullptr);
    output(std::nullopt, &encoded);
  });
}

void SimVideoEncoder::completeFrames() {
  auto drained = std::make_shared<Signal>();
  {
    std::lock_guard lock(mutex_);
    if (pending_ == 0) return;
    drainWaiters_.push_back(drained);
  }
  executor_.wait(*drained);
}

void SimVideoEncoder::invalidate() {
  std::lock_guard lock(mutex_);
  invalidated_ = true;
}

SimVideoEncoderFactory::SimVideoEncoderFactory(Executor& executor) : executor_(executor) {}

std::variant<std::unique_ptr<VideoEncoder>, int32_t> SimVideoEncoderFactory::create(const EncoderSettings& settings) {
  {
    std::lock_guard lock(mutex_);
    lastSettings_ = settings;
    if (createFailure_) return *std::exchange(createFailure_, std::nullopt);
    ++counters_.encodersCreated;
  }
  auto encoder = std::make_shared<SimVideoEncoder>(executor_, settings, shared_from_this());
  return std::unique_ptr<VideoEncoder>(std::make_unique<OwnedEncoder>(std::move(encoder)));
}

void SimVideoEncoderFactory::failNextCreate(int32_t status) {
  std::lock_guard lock(mutex_);
  createFailure_ = status;
}

void SimVideoEncoderFactory::failNextOutputs(int32_t status, int count) {
  std::lock_guard lock(mutex_);
  outputFailureStatus_ = status;
  outputFailures_ = count;
}

void SimVideoEncoderFactory::setEncodeTime(double seconds) {
  std::lock_guard lock(mutex_);
  encodeTime_ = seconds;
}

double SimVideoEncoderFactory::encodeTime() const {
  std::lock_guard lock(mutex_);
  return encodeTime_;
}

std::optional<EncoderSettings> SimVideoEncoderFactory::lastSettings() const {
  std::lock_guard lock(mutex_);
  return lastSettings_;
}

SimVideoEncoderFactory::Counters SimVideoEncoderFactory::counters() const {
  std::lock_guard lock(mutex_);
  return counters_;
}

std::optional<int32_t> SimVideoEncoderFactory::takeOutputFailure() {
  std::lock_guard lock(mutex_);
  if (outputFailures_ <= 0) return std::nullopt;
  --outputFailures_;
  return outputFailureStatus_;
}

void SimVideoEncoderFactory::countOutput(bool keyframe, bool failed) {
  std::lock_guard lock(mutex_);
  if (failed) {
    ++counters_.outputErrors;
    return;
  }
  ++counters_.framesOutput;
  if (keyframe) ++counters_.keyframesOutput;
}

void SimVideoEncoderFactory::countSubmitted() {
  std::lock_guard lock(mutex_);
  ++counters_.framesSubmitted;
}

}  // namespace qb
