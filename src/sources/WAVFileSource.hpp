#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "audio/AudioConverterPipeline.hpp"
#include "audio/AudioSource.hpp"
#include "runtime/Executor.hpp"
#include "sources/WavFile.hpp"

namespace qb {

// Test source: a 16-bit PCM WAV file played in a loop, one block per 20 ms, converted to
// the output format, as if it were live capture. Blocks are read from the file as they
// are played, so both channels of TEST_WAV share one open file and no copy of it. The
// playback loop runs as self-rescheduling work on the executor's pool and delivers on
// that pool.
class WAVFileSource final : public AudioSource, public std::enable_shared_from_this<WAVFileSource> {
 public:
  // An idle source over an opened file (path only names it in logs); or why it cannot
  // be played.
  static std::variant<std::shared_ptr<WAVFileSource>, std::string> make(Executor& executor,
                                                                        std::shared_ptr<const WavFile> file,
                                                                        const std::string& path,
                                                                        AudioProtocol::FrameType type);
  // As make, from bytes in memory.
  static std::variant<std::shared_ptr<WAVFileSource>, std::string> fromBytes(Executor& executor,
                                                                             const std::string& path,
                                                                             std::span<const uint8_t> bytes,
                                                                             AudioProtocol::FrameType type);
  ~WAVFileSource() override;

  const std::string& sourceID() const override { return sourceID_; }
  AudioProtocol::FrameType frameType() const override { return frameType_; }
  void setOnAudioData(AudioDataCallback callback) override;
  std::optional<SourceError> start() override;
  void stop() override;
  bool isActive() const override { return isActive_.load(); }

  uint32_t sourceSampleRate() const { return sourceSampleRate_; }
  int sourceChannels() const { return sourceChannels_; }
  int sourceBitsPerSample() const { return sourceBitsPerSample_; }
  uint64_t pcmByteCount() const { return file_->info().dataSize; }
  // Bytes of the file taken per 20 ms period at the nominal rate.
  size_t inputFrameSize() const;

  // Per-construction access for make_shared; use load().
  struct Token {
    explicit Token() = default;
  };
  WAVFileSource(Token, Executor& executor, AudioProtocol::FrameType type);

 private:
  struct Run;
  void tick(const std::shared_ptr<Run>& run);
  std::vector<uint8_t> convertBlock(Run& run, std::span<const uint8_t> block);
  bool usesConverter() const;

  Executor& executor_;
  const std::string sourceID_;
  const AudioProtocol::FrameType frameType_;
  std::shared_ptr<const WavFile> file_;
  uint32_t sourceSampleRate_ = 16000;
  int sourceChannels_ = 1;
  int sourceBitsPerSample_ = 16;

  std::atomic<bool> isActive_{false};
  mutable std::mutex mutex_;  // guards onAudioData_ and currentRun_
  AudioDataCallback onAudioData_;
  std::shared_ptr<Run> currentRun_;
};

}  // namespace qb
