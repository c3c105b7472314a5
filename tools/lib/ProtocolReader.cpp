#include "ProtocolReader.hpp"

#include <array>
#include <cstring>

namespace qbtools {

namespace {

constexpr std::array<uint8_t, 4> kMagic{0x41, 0x50, 0x4C, 0x44};  // "APLD"
constexpr size_t kAudioHeader = 24;
constexpr size_t kVideoHeader = 32;

template <class T>
T readLE(const uint8_t* p) {
  uint64_t v = 0;
  for (size_t i = 0; i < sizeof(T); ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return static_cast<T>(v);
}

struct Prefix {
  std::string_view text;
  LineKind kind;
};
// Longer prefixes that share a start with shorter ones come first.
constexpr std::array<Prefix, 8> kPrefixes{{
    {"CMD_RESPONSE:", LineKind::cmdResponse},
    {"EVENT:", LineKind::event},
    {"MIC_EVENT:", LineKind::micEvent},
    {"MIC_APP_EVENT:", LineKind::micAppEvent},
    {"MIC_APP_STOP_EVENT:", LineKind::micAppStopEvent},
    {"MIC_APP_ERROR:", LineKind::micAppError},
    {"DEVICE_DIAGNOSTIC:", LineKind::deviceDiagnostic},
    {"RUNNING_MICS_SAMPLE:", LineKind::runningMicsSample},
}};

std::string hexOf(const uint8_t* p, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    if (i) s.push_back(' ');
    s.push_back(digits[p[i] >> 4]);
    s.push_back(digits[p[i] & 15]);
  }
  return s;
}

}  // namespace

std::vector<Frame> FrameParser::feed(std::span<const uint8_t> bytes, Timestamp now) {
  std::vector<Frame> out;
  totalBytes_ += bytes.size();
  if (failed()) return out;
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());

  while (true) {
    size_t avail = buffer_.size() - start_;
    const uint8_t* p = buffer_.data() + start_;
    if (avail < 6) break;
    if (std::memcmp(p, kMagic.data(), kMagic.size()) != 0) {
      error_ = "bad magic at byte " + std::to_string(totalBytes_ - avail) + " (frame " + std::to_string(frames_) +
               "): " + hexOf(p, 6);
      break;
    }
    uint8_t version = p[4];
    uint8_t type = p[5];
    size_t headerSize = version == 1 ? kAudioHeader : version == 2 ? kVideoHeader : 0;
    if (headerSize == 0) {
      error_ = "unknown version " + std::to_string(version) + " (frame " + std::to_string(frames_) + ")";
      break;
    }
    if ((version == 1 && type != 1 && type != 2) || (version == 2 && type != 3)) {
      error_ = "frame type " + std::to_string(type) + " with version " + std::to_string(version) + " (frame " +
               std::to_string(frames_) + ")";
      break;
    }
    if (avail < headerSize) break;
    uint32_t length = readLE<uint32_t>(p + (version == 1 ? 12 : 20));
    if (length > maxPayload_) {
      error_ = "payload length " + std::to_string(length) + " over the limit (frame " + std::to_string(frames_) + ")";
      break;
    }
    if (avail < headerSize + length) break;

    Frame f;
    f.version = version;
    f.type = type;
    f.payloadLength = length;
    if (version == 1) {
      f.sampleRate = readLE<uint16_t>(p + 6);
      f.channels = p[8];
      f.bitsPerSample = p[9];
      f.level = readLE<uint16_t>(p + 10);
      f.sequence = readLE<uint32_t>(p + 16);
    } else {
      f.width = readLE<uint16_t>(p + 6);
      f.height = readLE<uint16_t>(p + 8);
      f.fps = p[10];
      f.frameKind = p[11];
      f.pts = readLE<uint64_t>(p + 12);
      f.sequence = readLE<uint32_t>(p + 24);
    }
    if (keepPayloads_) f.payload.assign(p + headerSize, p + headerSize + length);
    f.index = frames_++;
    f.received = now;
    out.push_back(std::move(f));
    start_ += headerSize + length;
  }

  // Keep the buffer small: drop consumed bytes once they dominate it.
  if (start_ > 0 && (start_ == buffer_.size() || start_ >= buffer_.size() / 2)) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
  return out;
}

const char* lineKindName(LineKind kind) {
  switch (kind) {
    case LineKind::cmdResponse:
      return "CMD_RESPONSE";
    case LineKind::event:
      return "EVENT";
    case LineKind::micEvent:
      return "MIC_EVENT";
    case LineKind::micAppEvent:
      return "MIC_APP_EVENT";
    case LineKind::micAppStopEvent:
      return "MIC_APP_STOP_EVENT";
    case LineKind::micAppError:
      return "MIC_APP_ERROR";
    case LineKind::deviceDiagnostic:
      return "DEVICE_DIAGNOSTIC";
    case LineKind::runningMicsSample:
      return "RUNNING_MICS_SAMPLE";
    case LineKind::log:
      break;
  }
  return "log";
}

LineKind classifyLine(std::string_view line, std::string_view* body) {
  for (const auto& prefix : kPrefixes) {
    if (line.starts_with(prefix.text)) {
      if (body) *body = line.substr(prefix.text.size());
      return prefix.kind;
    }
  }
  if (body) *body = line;
  return LineKind::log;
}

Line makeLine(std::string text, uint64_t index, Timestamp received) {
  Line line;
  std::string_view body;
  line.kind = classifyLine(text, &body);
  line.body = std::string(body);
  line.text = std::move(text);
  line.index = index;
  line.received = received;
  return line;
}

std::vector<Line> LineParser::feed(std::span<const uint8_t> bytes, Timestamp now) {
  std::vector<Line> out;
  size_t begin = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] != '\n') continue;
    partial_.append(reinterpret_cast<const char*>(bytes.data()) + begin, i - begin);
    out.push_back(makeLine(std::move(partial_), next_++, now));
    partial_.clear();
    begin = i + 1;
  }
  partial_.append(reinterpret_cast<const char*>(bytes.data()) + begin, bytes.size() - begin);
  return out;
}

std::vector<Line> LineParser::finish(Timestamp now) {
  std::vector<Line> out;
  if (!partial_.empty()) {
    out.push_back(makeLine(std::move(partial_), next_++, now));
    partial_.clear();
  }
  return out;
}

}  // namespace qbtools
