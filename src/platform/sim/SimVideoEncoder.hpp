#pragma once
// A deterministic stand-in for the H.264 encoder. Each frame comes out as one
// length-prefixed NAL unit (IDR type 5 on keyframes, type 1 otherwise) whose bytes
// are derived from the frame number; keyframes carry parameter sets 0 (SPS, type 7)
// and 1 (PPS, type 8). Keyframes: the first frame, forced frames, and every `fps`
// frames after the last keyframe. Outputs run in submission order on the encoder's
// own queue, each after the factory's encode time (one frame at a time). Thread-safe.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>
#include <vector>

#include "platform/VideoEncoder.hpp"
#include "runtime/Executor.hpp"

namespace qb {

class SimVideoEncoderFactory;

class SimVideoEncoder final : public VideoEncoder, public std::enable_shared_from_this<SimVideoEncoder> {
 public:
  SimVideoEncoder(Executor& executor, const EncoderSettings& settings, std::shared_ptr<SimVideoEncoderFactory> factory);
  void encode(const VideoFrame& frame, bool forceKeyframe,
              std::function<void(std::optional<PlatformError>, const EncodedFrame*)> output) override;
  void completeFrames() override;
  void invalidate() override;

  // The bytes this encoder gives for a settings' SPS and PPS (without start codes).
  static std::vector<uint8_t> spsFor(const EncoderSettings& settings);
  static std::vector<uint8_t> ppsFor(const EncoderSettings& settings);

 private:
  Executor& executor_;
  const EncoderSettings settings_;
  std::weak_ptr<SimVideoEncoderFactory> factory_;
  std::shared_ptr<Queue> queue_;
  std::mutex mutex_;
  uint64_t frameNumber_ = 0;
  uint64_t sinceKeyframe_ = 0;
  double busyUntil_ = 0;                               // clock uptime at which the last submitted frame comes out
  int pending_ = 0;                                    // submitted, not yet output
  std::vector<std::shared_ptr<Signal>> drainWaiters_;  // completeFrames calls, told when pending_ is 0
  bool invalidated_ = false;
};

// Makes SimVideoEncoders, with scripted failures and counters for tests.
class SimVideoEncoderFactory final : public VideoEncoderFactory,
                                     public std::enable_shared_from_this<SimVideoEncoderFactory> {
 public:
  struct Counters {
    int encodersCreated = 0;
    int framesSubmitted = 0;
    int framesOutput = 0;
    int keyframesOutput = 0;
    int outputErrors = 0;
  };

  explicit SimVideoEncoderFactory(Executor& executor);
  std::variant<std::unique_ptr<VideoEncoder>, int32_t> create(const EncoderSettings& settings) override;

  // The next create() fails with this status.
  void failNextCreate(int32_t status);
  // The next `count` frames come out with an error of this status instead of data.
  void failNextOutputs(int32_t status, int count = 1);
  // Each frame takes this long (virtual time) to come out, one after the other: a slow
  // encoder. 0 (the default): out as soon as the encoder's queue runs.
  void setEncodeTime(double seconds);
  double encodeTime() const;
  std::optional<EncoderSettings> lastSettings() const;
  Counters counters() const;

 private:
  friend class SimVideoEncoder;
  std::optional<int32_t> takeOutputFailure();
  void countOutput(bool keyframe, bool failed);
  void countSubmitted();

  Executor& executor_;
  mutable std::mutex mutex_;
  std::optional<int32_t> createFailure_;
  int32_t outputFailureStatus_ = 0;
  int outputFailures_ = 0;
  double encodeTime_ = 0;
  std::optional<EncoderSettings> lastSettings_;
  Counters counters_;
};

}  // namespace qb
