#include "sources/WavParser.hpp"

#include <cstring>
#include <optional>

namespace qb {

namespace {

uint16_t u16(std::span<const uint8_t> b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }
uint32_t u32(std::span<const uint8_t> b, size_t at) {
  return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
         (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
bool tagIs(std::span<const uint8_t> b, size_t at, const char* tag) { return std::memcmp(b.data() + at, tag, 4) == 0; }

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatExtensible = 0xFFFE;
// The rest of the KSDATAFORMAT_SUBTYPE_PCM GUID after its leading format code.
constexpr uint8_t kSubtypeTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                      0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

struct FormatChunk {
  uint16_t formatTag;
  uint16_t channels;
  uint32_t sampleRate;
  uint16_t bitsPerSample;
};

std::optional<FormatChunk> readFormat(std::span<const uint8_t> b, size_t body, size_t size) {
  if (size < 16 || body + 16 > b.size()) return std::nullopt;
  FormatChunk f{u16(b, body), u16(b, body + 2), u32(b, body + 4), u16(b, body + 14)};
  // Extensible headers (written for more than two channels) carry the real format code
  // at the start of their sub-format GUID.
  if (f.formatTag == kFormatExtensible && size >= 40 && body + 40 <= b.size() &&
      std::memcmp(b.data() + body + 26, kSubtypeTail, sizeof kSubtypeTail) == 0)
    f.formatTag = u16(b, body + 24);
  return f;
}

}  // namespace

std::variant<WavInfo, WAVError> parseWav(std::span<const uint8_t> bytes) {
  using Kind = WAVError::Kind;
  if (bytes.size() < 45) return WAVError{Kind::fileTooShort};
  if (!tagIs(bytes, 0, "RIFF")) return WAVError{Kind::invalidRIFFHeader};
  if (!tagIs(bytes, 8, "WAVE")) return WAVError{Kind::invalidWAVEFormat};

  std::optional<FormatChunk> format;
  bool formatSeen = false;
  std::optional<std::pair<size_t, size_t>> data;
  size_t pos = 12;
  while (pos + 8 <= bytes.size() && !(format && data)) {
    size_t chunkSize = u32(bytes, pos + 4);
    size_t body = pos + 8;
    size_t available = bytes.size() - body;
    if (tagIs(bytes, pos, "fmt ") && !formatSeen) {
      formatSeen = true;
      format = readFormat(bytes, body, chunkSize);
    } else if (tagIs(bytes, pos, "data") && !data) {
      // Streamed writers leave the size at 0 or at a placeholder past the end.
      data = {body, chunkSize == 0 || chunkSize > available ? available : chunkSize};
    }
    if (chunkSize > available) break;
    pos = body + chunkSize + (chunkSize & 1);
  }

  if (!format) return WAVError{Kind::missingFormatChunk};
  if (format->formatTag != kFormatPcm) return WAVError{Kind::unsupportedFormat, format->formatTag};
  if (format->bitsPerSample != 16) return WAVError{Kind::unsupportedBitDepth, format->bitsPerSample};
  if (format->channels == 0) return WAVError{Kind::invalidChannelCount, 0};
  if (format->sampleRate == 0) return WAVError{Kind::invalidSampleRate, 0};
  if (!data) return WAVError{Kind::missingDataChunk};

  WavInfo info;
  info.formatTag = format->formatTag;
  info.sampleRate = format->sampleRate;
  info.channels = format->channels;
  info.bitsPerSample = format->bitsPerSample;
  info.dataOffset = data->first;
  info.dataSize = data->second;
  return info;
}

}  // namespace qb
