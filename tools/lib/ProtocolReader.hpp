#pragma once
// Incremental readers of a helper's two output streams, for hosts, tests and tools:
// binary frames from standard output and classified text lines from standard error.
// Neither class is thread-safe; feed each from one thread.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qbtools {

using Timestamp = std::chrono::steady_clock::time_point;

// One frame from standard output. Audio frames (version 1) fill the audio fields, video
// frames (version 2) the video fields; the others stay zero.
struct Frame {
  uint8_t version = 0;
  uint8_t type = 0;  // 1 microphone, 2 system audio, 3 video
  uint32_t sequence = 0;
  uint32_t payloadLength = 0;
  // audio
  uint16_t sampleRate = 0;
  uint8_t channels = 0;
  uint8_t bitsPerSample = 0;
  uint16_t level = 0;
  // video
  uint16_t width = 0;
  uint16_t height = 0;
  uint8_t fps = 0;
  uint8_t frameKind = 0;  // 1 keyframe, 2 other
  uint64_t pts = 0;
  // Empty when the reader was told not to keep payloads.
  std::vector<uint8_t> payload;
  uint64_t index = 0;  // position among all frames of this stream
  Timestamp received{};

  bool isAudio() const { return version == 1; }
  bool isVideo() const { return version == 2; }
  bool isKeyframe() const { return frameKind == 1; }
  double levelValue() const { return level / 65535.0; }
};

class FrameParser {
 public:
  static constexpr uint32_t kDefaultMaxPayload = 64u << 20;

  explicit FrameParser(bool keepPayloads = true, uint32_t maxPayload = kDefaultMaxPayload)
      : keepPayloads_(keepPayloads), maxPayload_(maxPayload) {}

  // Appends bytes and returns the frames they complete, stamped with `now`. After a
  // protocol error (bad magic, unknown version or frame type, absurd length) the stream
  // cannot be trusted: the parser stops and ignores further bytes.
  std::vector<Frame> feed(std::span<const uint8_t> bytes, Timestamp now = std::chrono::steady_clock::now());

  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }
  // Bytes of an incomplete frame waiting for the rest.
  size_t pendingBytes() const { return buffer_.size() - start_; }
  uint64_t totalBytes() const { return totalBytes_; }

 private:
  bool keepPayloads_;
  uint32_t maxPayload_;
  std::vector<uint8_t> buffer_;
  size_t start_ = 0;
  uint64_t totalBytes_ = 0;
  uint64_t frames_ = 0;
  std::string error_;
};

enum class LineKind {
  log,
  cmdResponse,       // "CMD_RESPONSE:"
  event,             // "EVENT:"
  micEvent,          // "MIC_EVENT:"
  micAppEvent,       // "MIC_APP_EVENT:"
  micAppStopEvent,   // "MIC_APP_STOP_EVENT:"
  micAppError,       // "MIC_APP_ERROR:"
  deviceDiagnostic,  // "DEVICE_DIAGNOSTIC:"
  runningMicsSample  // "RUNNING_MICS_SAMPLE:"
};

const char* lineKindName(LineKind kind);  // "CMD_RESPONSE", ..., "log"

struct Line {
  LineKind kind = LineKind::log;
  std::string text;  // the whole line without its "\n"
  std::string body;  // the text after the prefix (the whole text for log lines)
  uint64_t index = 0;
  Timestamp received{};
};

// Classifies one line (without its newline); `body` receives the text after the prefix.
LineKind classifyLine(std::string_view line, std::string_view* body = nullptr);
Line makeLine(std::string text, uint64_t index, Timestamp received);

class LineParser {
 public:
  // Appends bytes and returns the lines they complete. A "\r" before the "\n" is kept:
  // the helper never writes one, so seeing it is worth a test failure.
  std::vector<Line> feed(std::span<const uint8_t> bytes, Timestamp now = std::chrono::steady_clock::now());
  std::vector<Line> feed(std::string_view text, Timestamp now = std::chrono::steady_clock::now()) {
    return feed(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), now);
  }
  // At end of stream: the unterminated rest as a last line, if any.
  std::vector<Line> finish(Timestamp now = std::chrono::steady_clock::now());

 private:
  std::string partial_;
  uint64_t next_ = 0;
};

}  // namespace qbtools
