#pragma once
// Pure parsing of a WAV file's header and chunk list: no I/O of its own, so it can be
// fuzzed and tested alone.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <variant>

#include "sources/WAVError.hpp"

namespace qb {

// What the helper can play: the converter takes up to 64 channels, and below 1000 Hz its
// filter delay alone is most of a second, so such files would start as silence.
namespace WavLimits {
inline constexpr uint32_t kMinSampleRate = 1000;
inline constexpr uint32_t kMaxSampleRate = 768000;
inline constexpr uint16_t kMaxChannels = 64;
// Chunks looked at before giving up on finding "fmt " and "data": real files have a
// handful, and a file of millions of empty chunks must not hold up the command loop.
inline constexpr int kMaxChunks = 256;
}  // namespace WavLimits

struct WavInfo {
  uint16_t formatTag = 0;
  uint32_t sampleRate = 0;
  uint16_t channels = 0;
  uint16_t bitsPerSample = 0;
  uint64_t dataOffset = 0;  // PCM bytes are [dataOffset, dataOffset + dataSize)
  uint64_t dataSize = 0;

  // The most bytes one 20 ms period takes from the file.
  uint64_t largestBlockBytes() const { return (uint64_t{sampleRate} + 49) / 50 * channels * 2; }
};

// Fills `out` from the file at `offset`; false when the file has fewer bytes there.
using WavByteReader = std::function<bool(uint64_t offset, std::span<uint8_t> out)>;

// Walks the RIFF chunks for "fmt " and "data". A data size that is 0 or runs past the
// end (streamed writers leave it unset) means "to the end of the file". Refuses what
// the helper cannot play (WavLimits), and data that holds less than one 20 ms block.
std::variant<WavInfo, WAVError> parseWav(uint64_t fileSize, const WavByteReader& read);
std::variant<WavInfo, WAVError> parseWav(std::span<const uint8_t> bytes);

}  // namespace qb
