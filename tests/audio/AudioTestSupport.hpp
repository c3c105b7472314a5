#pragma once
// Shared by the audio and source tests: a scriptable source and a recorder of what
// the output writers produce.

#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ProtocolReader.hpp"
#include "audio/AudioSource.hpp"
#include "wire/Output.hpp"

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

// Records frames written to standard output and lines written to standard error.
class OutputRecorder {
 public:
  OutputRecorder()
      : sink_(OutputSink{[this](std::span<const uint8_t> bytes) {
                           std::lock_guard guard(mutex_);
                           for (auto& f : parser_.feed(bytes)) frames_.push_back(std::move(f));
                         },
                         [this](std::string_view line) {
                           std::lock_guard guard(mutex_);
                           lines_.emplace_back(line.substr(0, line.size() - 1));
                         }}) {}

  std::vector<qbtools::Frame> frames(std::optional<uint8_t> type = {}) const {
    std::lock_guard guard(mutex_);
    std::vector<qbtools::Frame> out;
    for (auto& f : frames_)
      if (!type || f.type == *type) out.push_back(f);
    return out;
  }
  std::vector<std::string> lines() const {
    std::lock_guard guard(mutex_);
    return lines_;
  }
  std::vector<std::string> linesStartingWith(const std::string& prefix) const {
    std::vector<std::string> out;
    for (auto& l : lines())
      if (l.rfind(prefix, 0) == 0) out.push_back(l);
    return out;
  }
  bool protocolFailed() const {
    std::lock_guard guard(mutex_);
    return parser_.failed();
  }
  void clear() {
    std::lock_guard guard(mutex_);
    frames_.clear();
    lines_.clear();
  }

 private:
  mutable std::mutex mutex_;
  qbtools::FrameParser parser_;
  std::vector<qbtools::Frame> frames_;
  std::vector<std::string> lines_;
  ScopedOutputSink sink_;  // last: installed once the rest exists
};

}  // namespace qb::testing
