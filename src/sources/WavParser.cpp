#include "sources/WavParser.hpp"

#include <cstring>
#include <optional>

namespace qb {

namespace {

uint16_t u16(const uint8_t* b) { return static_cast<uint16_t>(b[0] | (b[1] << 8)); }
uint32_t u32(const uint8_t* b) {
  return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) | (static_cast<uint32_t>(b[2]) << 16) |
         (static_cast<uint32_t>(b[3]) << 24);
}
bool tagIs(const uint8_t* b, const char* tag) { return std::memcmp(b, tag, 4) == 0; }

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

std::optional<FormatChunk> readFormat(const WavByteReader& read, uint64_t body, uint64_t size) {
  uint8_t b[40];
  if (size < 16 || !read(body, std::span(b, 16))) return std::nullopt;
  FormatChunk f{u16(b), u16(b + 2), u32(b + 4), u16(b + 14)};
  // Extensible headers (written for more than two channels) carry the real format code
  // at the start of their sub-format GUID.
  if (f.formatTag == kFormatExtensible && size >= 40 && read(body + 16, std::span(b + 16, 24)) &&
      std::memcmp(b + 26, kSubtypeTail, sizeof kSubtypeTail) == 0)
    f.formatTag = u16(b + 24);
  return f;
}

}  // namespace

std::variant<WavInfo, WAVError> parseWav(uint64_t fileSize, const WavByteReader& read) {
  using Kind = WAVError::Kind;
  uint8_t header[12];
  if (fileSize < 45 || !read(0, header)) return WAVError{Kind::fileTooShort};
  if (!tagIs(header, "RIFF")) return WAVError{Kind::invalidRIFFHeader};
  if (!tagIs(header + 8, "WAVE")) return WAVError{Kind::invalidWAVEFormat};

  std::optional<FormatChunk> format;
  bool formatSeen = false;
  std::optional<std::pair<uint64_t, uint64_t>> data;
  uint64_t pos = 12;
  uint8_t chunkHeader[8];
  for (int chunks = 0; chunks < WavLimits::kMaxChunks && !(format && data); ++chunks) {
    if (pos + 8 > fileSize || !read(pos, chunkHeader)) break;
    uint64_t chunkSize = u32(chunkHeader + 4);
    uint64_t body = pos + 8;
    uint64_t available = fileSize - body;
    if (tagIs(chunkHeader, "fmt ") && !formatSeen) {
      formatSeen = true;
      format = readFormat(read, body, chunkSize);
    } else if (tagIs(chunkHeader, "data") && !data) {
      // Streamed writers leave the size at 0 or at a placeholder past the end.
      data = {body, chunkSize == 0 || chunkSize > available ? available : chunkSize};
    }
    if (chunkSize > available) break;
    pos = body + chunkSize + (chunkSize & 1);
  }

  if (!format) return WAVError{Kind::missingFormatChunk};
  if (format->formatTag != kFormatPcm) return WAVError{Kind::unsupportedFormat, format->formatTag};
  if (format->bitsPerSample != 16) return WAVError{Kind::unsupportedBitDepth, format->bitsPerSample};
  if (format->channels == 0 || format->channels > WavLimits::kMaxChannels)
    return WAVError{Kind::unsupportedChannelCount, format->channels};
  if (format->sampleRate < WavLimits::kMinSampleRate || format->sampleRate > WavLimits::kMaxSampleRate)
    return WAVError{Kind::unsupportedSampleRate, format->sampleRate};
  if (!data) return WAVError{Kind::missingDataChunk};

  WavInfo info;
  info.formatTag = format->formatTag;
  info.sampleRate = format->sampleRate;
  info.channels = format->channels;
  info.bitsPerSample = format->bitsPerSample;
  info.dataOffset = data->first;
  info.dataSize = data->second;
  if (info.dataSize < info.largestBlockBytes())
    return WAVError{Kind::tooLittleAudio, static_cast<int64_t>(info.dataSize)};
  return info;
}

std::variant<WavInfo, WAVError> parseWav(std::span<const uint8_t> bytes) {
  return parseWav(bytes.size(), [bytes](uint64_t offset, std::span<uint8_t> out) {
    if (offset > bytes.size() || out.size() > bytes.size() - offset) return false;
    std::memcpy(out.data(), bytes.data() + offset, out.size());
    return true;
  });
}

}  // namespace qb
