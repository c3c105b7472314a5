#include "wire/Output.hpp"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "wire/LineText.hpp"
#include "wire/StderrWriter.hpp"

namespace qb {

namespace {

OutputSink& currentSink() {
  static OutputSink sink;
  return sink;
}

void writeLine(std::string_view prefix, std::string_view message) {
  // Text from outside (command echoes, device names, window titles) must never split a
  // line or make the stream invalid UTF-8.
  std::string cleaned;
  if (needsSingleLineCleanup(message)) {
    cleaned = toSingleLine(message);
    message = cleaned;
  }
  std::string line;
  line.reserve(prefix.size() + message.size() + 1);
  line.append(prefix).append(message).push_back('\n');
  auto& sink = currentSink();
  if (sink.stderrLine) {
    sink.stderrLine(line);
    return;
  }
  auto kind = StderrWriter::kindOf(line);
  StderrWriter::process().write(std::move(line), kind);
}

void writeFrame(const std::vector<uint8_t>& frame) {
  auto& sink = currentSink();
  std::lock_guard lock(stdoutLock());
  if (sink.stdoutBytes)
    sink.stdoutBytes(frame);
  else
    writeAll(STDOUT_FILENO, frame);
}

}  // namespace

std::mutex& stdoutLock() {
  static auto* lock = new std::mutex;  // never destroyed: writers may run during exit
  return *lock;
}

void writeAll(int fd, std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return;
    }
  }
}

void writeBinaryFrame(AudioProtocol::FrameType type, uint16_t sampleRate, uint8_t channels, uint8_t bitsPerSample,
                      double rms, std::span<const uint8_t> pcmData, uint32_t sequence) {
  writeFrame(encodeAudioFrame(type, sampleRate, channels, bitsPerSample, rms, pcmData, sequence));
}

void writeVideoFrame(uint16_t width, uint16_t height, uint8_t fps, bool isKeyframe, uint64_t pts,
                     std::span<const uint8_t> nalData, uint32_t sequence) {
  writeFrame(encodeVideoFrame(width, height, fps, isKeyframe, pts, nalData, sequence));
}

void logToStderr(std::string_view message) { writeLine({}, message); }
void PrefixedLog::operator()(std::string_view message) const { writeLine(prefix_, message); }
void sendCommandResponse(std::string_view message) { writeLine("CMD_RESPONSE:", message); }
void sendEvent(std::string_view message) { writeLine("EVENT:", message); }
void sendMicEvent(std::string_view message) { writeLine("MIC_EVENT:", message); }
void writeStderrLine(std::string_view line) { writeLine({}, line); }
void flushStderr() {
  if (!currentSink().stderrLine) StderrWriter::process().flush();
}

ScopedOutputSink::ScopedOutputSink(OutputSink sink) : previous_(currentSink()) { currentSink() = std::move(sink); }
ScopedOutputSink::~ScopedOutputSink() { currentSink() = std::move(previous_); }

}  // namespace qb
