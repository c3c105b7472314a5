#pragma once
// Shared by the audio and source tests: a scriptable source, and the recorder of what the
// output writers produce.

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "audio/AudioSource.hpp"
#include "host/HostTestSupport.hpp"

namespace qb::testing {

class FakeAudioSource final : public AudioSource {
 public:
  FakeAudioSource(std::string id, AudioProtocol::FrameType type, std::optional<SourceError> startError = {})
      : id_(std::move(id)), type_(type), startError_(std::move(startError)) {}
  const std::string& sourceID() const override { return id_; }
  AudioProtocol::FrameType frameType() const override { return type_; }
  void setOnAudioData(AudioDataCallback callback) override { callback_ = std::move(callback); }
  std::optional<SourceError> start() override {
    ++starts;
    if (!startError_) active_ = true;
    return startError_;
  }
  void stop() override {
    ++stops;
    active_ = false;
  }
  bool isActive() const override { return active_; }

  // A capture time of 0 lets the streamer take the time of arrival.
  void deliver(std::span<const uint8_t> bytes, int64_t captureTimeUs = 0) {
    if (callback_) callback_(bytes, captureTimeUs);
  }
  void deliver(size_t count, uint8_t value = 0, int64_t captureTimeUs = 0) {
    deliver(std::vector<uint8_t>(count, value), captureTimeUs);
  }
  bool hasCallback() const { return static_cast<bool>(callback_); }

  int starts = 0;
  int stops = 0;

 private:
  std::string id_;
  AudioProtocol::FrameType type_;
  std::optional<SourceError> startError_;
  AudioDataCallback callback_;
  bool active_ = false;
};

// What the output writers produce.
using OutputRecorder = qbtest::CapturedOutput;

}  // namespace qb::testing
