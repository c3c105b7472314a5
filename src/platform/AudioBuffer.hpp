#pragma once
// Audio sample buffers as the capture services deliver them, and PCM buffers in a
// described format as the converter consumes them.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qb {

// Flag bits of a stream description; values follow the common audio-format convention
// so that logic and logs can speak of "the non-interleaved flag (32)".
namespace FormatFlags {
inline constexpr uint32_t kFloat = 1;
inline constexpr uint32_t kBigEndian = 2;
inline constexpr uint32_t kSignedInteger = 4;
inline constexpr uint32_t kPacked = 8;
inline constexpr uint32_t kNonInterleaved = 32;
}  // namespace FormatFlags

// Linear PCM only; every backend delivers linear PCM.
struct StreamDescription {
  double sampleRate = 0;
  uint32_t formatFlags = 0;
  uint32_t bytesPerPacket = 0;
  uint32_t framesPerPacket = 1;
  uint32_t bytesPerFrame = 0;  // per channel when non-interleaved
  uint32_t channelsPerFrame = 0;
  uint32_t bitsPerChannel = 0;
};

// What a capture output hands to its delegate: a description and the raw bytes.
// Interleaved data is frames x bytesPerFrame; non-interleaved data is one plane per
// channel, each numSamples x bytesPerFrame, planes back to back.
struct AudioSampleBuffer {
  std::optional<StreamDescription> description;
  size_t numSamples = 0;
  std::vector<uint8_t> data;
  // When the first sample was captured, in whole microseconds of the capture clock
  // (CLOCK_MONOTONIC, Clock::uptime); 0 when the backend cannot tell.
  int64_t captureTimeUs = 0;
};

enum class SampleFormat { Float32, Float64, Int16, Int32, UInt8, Other };

size_t bytesPerSample(SampleFormat f);
const char* sampleFormatName(SampleFormat f);

struct PcmFormat {
  SampleFormat sampleFormat = SampleFormat::Int16;
  double sampleRate = 48000;
  int channels = 2;
  bool interleaved = true;

  bool operator==(const PcmFormat&) const = default;

  // A format the converter can take, or none. Like the capture framework it stands in
  // for, it describes at most two channels without a channel layout.
  static std::optional<PcmFormat> fromDescription(const StreamDescription& d);
};

// A PCM buffer in a described format. Interleaved: frameLength x channels samples.
// Planar: channels planes of frameLength samples, back to back.
struct PcmBuffer {
  PcmFormat format;
  size_t frameLength = 0;
  std::vector<uint8_t> bytes;

  size_t bytesPerFrameAllChannels() const { return bytesPerSample(format.sampleFormat) * format.channels; }
  static PcmBuffer make(PcmFormat f, size_t frames);
  // Pointer to channel c's first sample (planar) or to the interleaved data (c ignored).
  const uint8_t* channelData(int c) const;
};

// The sample buffer's samples copied into a PCM buffer of the given format: the
// counterpart of copying a sample buffer's PCM into an audio buffer list. Fails when
// the byte count does not cover numSamples frames. Pure; any thread.
std::optional<PcmBuffer> copyToPcmBuffer(const AudioSampleBuffer& in, const PcmFormat& f);
// The status callers report for that failure.
inline constexpr int32_t kCopyPcmDataTooShort = -12737;

}  // namespace qb
