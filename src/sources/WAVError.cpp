#include "sources/WAVError.hpp"

#include "sources/WavParser.hpp"

namespace qb {

std::string WAVError::description() const {
  switch (kind) {
    case Kind::unsupportedFormat:
      return "Unsupported audio format: " + std::to_string(value) + " (only PCM=1 supported)";
    case Kind::unsupportedBitDepth:
      return "Unsupported bit depth: " + std::to_string(value) + " (only 16-bit supported)";
    case Kind::fileTooShort:
      return "WAV file too short (< 44 bytes)";
    case Kind::invalidRIFFHeader:
      return "Invalid RIFF header";
    case Kind::invalidWAVEFormat:
      return "Invalid WAVE format";
    case Kind::missingFormatChunk:
      return "Invalid WAV file: no complete \"fmt \" chunk";
    case Kind::missingDataChunk:
      return "Invalid WAV file: no \"data\" chunk";
    case Kind::unsupportedSampleRate:
      return "Unsupported sample rate: " + std::to_string(value) + " Hz (" + std::to_string(WavLimits::kMinSampleRate) +
             " to " + std::to_string(WavLimits::kMaxSampleRate) + " Hz supported)";
    case Kind::unsupportedChannelCount:
      return "Unsupported channel count: " + std::to_string(value) + " (1 to " +
             std::to_string(WavLimits::kMaxChannels) + " supported)";
    case Kind::tooLittleAudio:
      return "WAV file too short: " + std::to_string(value) + " bytes of audio, less than one 20 ms block";
  }
  return "Invalid WAV file";
}

}  // namespace qb
