#pragma once
// The helper's two output streams: binary frames on standard output, whole text lines
// on standard error. Callable from any thread; text lines never wait for the host (see
// StderrWriter).

#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string_view>

#include "wire/AudioProtocol.hpp"

namespace qb {

// The process-wide lock that keeps each frame's single write exclusive. Only the two
// frame writers take it.
std::mutex& stdoutLock();

void writeBinaryFrame(AudioProtocol::FrameType type, uint16_t sampleRate, uint8_t channels, uint8_t bitsPerSample,
                      double rms, std::span<const uint8_t> pcmData, uint32_t sequence);
void writeVideoFrame(uint16_t width, uint16_t height, uint8_t fps, bool isKeyframe, uint64_t pts,
                     std::span<const uint8_t> nalData, uint32_t sequence);

void logToStderr(std::string_view message);
// One part's log: every line led by the part's prefix ("MicAppDetector: ", "[Swift Mic] ").
class PrefixedLog {
 public:
  constexpr explicit PrefixedLog(std::string_view prefix) : prefix_(prefix) {}
  void operator()(std::string_view message) const;

 private:
  std::string_view prefix_;
};
void sendCommandResponse(std::string_view message);  // "CMD_RESPONSE:" + message
void sendEvent(std::string_view message);            // "EVENT:" + message
void sendMicEvent(std::string_view message);         // "MIC_EVENT:" + message
// A whole line that carries its own prefix ("DEVICE_DIAGNOSTIC:...", "[Swift Mic] ...").
void writeStderrLine(std::string_view line);
// Text lines are handed to one writer thread (StderrWriter) and return at once; this
// returns once every line written before it has reached the descriptor. Call it before
// the process ends.
void flushStderr();

// Writes all bytes to fd, continuing after partial writes and EINTR. Other errors end
// the attempt silently: the host is gone or not reading, and SIGPIPE (left at its
// default) ends the process in the first case.
void writeAll(int fd, std::span<const uint8_t> bytes);

// Where the writers send their bytes. Tests swap it to record output; production
// writes to descriptors 1 and 2.
struct OutputSink {
  std::function<void(std::span<const uint8_t>)> stdoutBytes;
  std::function<void(std::string_view line)> stderrLine;  // line includes its "\n"
};
// Installs a sink for the life of the guard (not thread-safe against concurrent
// writers: install before starting work).
class ScopedOutputSink {
 public:
  explicit ScopedOutputSink(OutputSink sink);
  ~ScopedOutputSink();
  ScopedOutputSink(const ScopedOutputSink&) = delete;
  ScopedOutputSink& operator=(const ScopedOutputSink&) = delete;

 private:
  OutputSink previous_;
};

}  // namespace qb
