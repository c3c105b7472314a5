#pragma once
// Pure parsing of a WAV file's bytes: no I/O, so it can be fuzzed and tested alone.

#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>

#include "sources/WAVError.hpp"

namespace qb {

struct WavInfo {
  uint16_t formatTag = 0;
  uint32_t sampleRate = 0;
  uint16_t channels = 0;
  uint16_t bitsPerSample = 0;
  size_t dataOffset = 0;  // PCM bytes are [dataOffset, dataOffset + dataSize)
  size_t dataSize = 0;
};

// Walks the RIFF chunks for "fmt " and "data". A data size that is 0 or runs past the
// end (streamed writers leave it unset) means "to the end of the file".
std::variant<WavInfo, WAVError> parseWav(std::span<const uint8_t> bytes);

}  // namespace qb
