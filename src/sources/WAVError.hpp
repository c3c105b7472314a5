#pragma once

#include <cstdint>
#include <string>

namespace qb {

// Why a WAV file was refused; description() is the text hosts see.
struct WAVError {
  enum class Kind {
    unsupportedFormat,
    unsupportedBitDepth,
    fileTooShort,
    invalidRIFFHeader,
    invalidWAVEFormat,
    missingFormatChunk,
    missingDataChunk,
    unsupportedSampleRate,
    unsupportedChannelCount,
    tooLittleAudio,
  };
  Kind kind;
  int64_t value = 0;  // the format tag, bit depth, rate, channel count or PCM bytes read

  std::string description() const;
  bool operator==(const WAVError&) const = default;
};

}  // namespace qb
