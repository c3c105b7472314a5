#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <variant>

#include "audio/AudioSource.hpp"
#include "platform/PlatformError.hpp"
#include "runtime/Executor.hpp"

namespace qb {

// Test source that generates a known signal, one 3840-byte output frame per 20 ms, and
// states the level that signal should measure at.
class SyntheticAudioSource final : public AudioSource, public std::enable_shared_from_this<SyntheticAudioSource> {
 public:
  struct Dc {
    double amplitude;
  };
  struct Sine {
    double frequency;
    double amplitude;
  };
  struct Square {
    double frequency;
    double amplitude;
  };
  struct Noise {
    double rms;
  };
  struct Custom {
    std::function<int16_t(int64_t)> sample;
  };
  struct Silence {};
  // Amplitudes and rms are fractions of full scale (1.0 is 32767).
  using Pattern = std::variant<Dc, Sine, Square, Noise, Custom, Silence>;

  // Refuses non-finite parameters and square frequencies outside (0, 48000].
  static Result<std::shared_ptr<SyntheticAudioSource>, std::string> make(Executor& executor, Pattern pattern,
                                                                         AudioProtocol::FrameType type);
  static Result<std::shared_ptr<SyntheticAudioSource>, std::string> withTargetRMS(Executor& executor, double rms,
                                                                                  AudioProtocol::FrameType type);
  static Result<std::shared_ptr<SyntheticAudioSource>, std::string> testTone(Executor& executor, double amplitude,
                                                                             AudioProtocol::FrameType type);
  static std::shared_ptr<SyntheticAudioSource> silence(Executor& executor, AudioProtocol::FrameType type);

  ~SyntheticAudioSource() override;

  const std::string& sourceID() const override { return sourceID_; }
  AudioProtocol::FrameType frameType() const override { return frameType_; }
  void setOnAudioData(AudioDataCallback callback) override;
  std::optional<SourceError> start() override;
  void stop() override;
  bool isActive() const override { return isActive_.load(); }

  double expectedRMS() const { return expectedRMS_; }
  const Pattern& pattern() const { return pattern_; }
  int16_t generateSample(int64_t index);
  std::string patternDescription() const;

  struct Token {
    explicit Token() = default;
  };
  SyntheticAudioSource(Token, Executor& executor, Pattern pattern, AudioProtocol::FrameType type);

 private:
  struct Run;
  void tick(const std::shared_ptr<Run>& run);

  Executor& executor_;
  const std::string sourceID_;
  const AudioProtocol::FrameType frameType_;
  const Pattern pattern_;
  const double expectedRMS_;
  std::mt19937_64 random_;

  std::atomic<bool> isActive_{false};
  mutable std::mutex mutex_;  // guards onAudioData_ and currentRun_
  AudioDataCallback onAudioData_;
  std::shared_ptr<Run> currentRun_;
};

}  // namespace qb
