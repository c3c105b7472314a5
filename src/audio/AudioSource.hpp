#pragma once
// The contract between an audio source and the streamer.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "wire/AudioProtocol.hpp"

namespace qb {

// A start failure: the printable form is what hosts see in logs and events.
struct SourceError {
  enum class Kind { permissionDenied, other };
  Kind kind = Kind::other;
  std::string description;
};

// Receives converted PCM (48000 Hz, 2 channels, s16le, interleaved), any length, on any
// thread, with the capture time of its first sample in whole microseconds of the capture
// clock (captureClockUs), or 0 when the source cannot tell. The streamer's callback holds
// the streamer weakly.
using AudioDataCallback = std::function<void(std::span<const uint8_t> pcm, int64_t captureTimeUs)>;

// Implemented by the microphone, system audio, WAV and synthetic sources. start() and
// stop() may wait (on the executor) and are called from the command side only.
class AudioSource {
 public:
  virtual ~AudioSource() = default;
  virtual const std::string& sourceID() const = 0;
  virtual AudioProtocol::FrameType frameType() const = 0;
  // Set before start(); the source calls it for every chunk it produces.
  virtual void setOnAudioData(AudioDataCallback callback) = 0;
  virtual std::optional<SourceError> start() = 0;
  virtual void stop() = 0;
  virtual bool isActive() const = 0;
};

}  // namespace qb
