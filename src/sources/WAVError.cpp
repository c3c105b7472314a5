#include "sources/WAVError.hpp"

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
    case Kind::invalidSampleRate:
      return "Invalid sample rate: " + std::to_string(value) + " Hz";
    case Kind::invalidChannelCount:
      return "Invalid channel count: " + std::to_string(value);
  }
  return "Invalid WAV file";
}

}  // namespace qb
