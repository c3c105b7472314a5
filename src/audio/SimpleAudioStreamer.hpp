#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>

#include "audio/AudioChannelBuffer.hpp"
#include "audio/AudioSource.hpp"
#include "runtime/Executor.hpp"

namespace qb {

// Collects PCM from a microphone-channel and a system-channel source and writes it as
// two independent streams of 20 ms audio frames. Sources write into their channel's
// buffer on their own thread; an output loop on the executor's pool takes whole frames
// out every 100 ms and writes them, with the timing and loss lines a host needs to place
// them (AUDIO_TIMING, AUDIO_LOSS). Always create with std::make_shared.
class SimpleAudioStreamer : public std::enable_shared_from_this<SimpleAudioStreamer> {
 public:
  // A null source leaves its channel without audio.
  SimpleAudioStreamer(Executor& executor, std::shared_ptr<AudioSource> mic = nullptr,
                      std::shared_ptr<AudioSource> system = nullptr);
  SimpleAudioStreamer(const SimpleAudioStreamer&) = delete;
  SimpleAudioStreamer& operator=(const SimpleAudioStreamer&) = delete;

  // Starts both sources (waiting for each) and the output loop; never fails: a source
  // that fails leaves its channel silent.
  void start();
  // Stops the loop after its current tick and waits for both sources to stop. Buffered
  // audio, counters and sequence numbers are kept.
  void stop();

  static constexpr size_t bufferFrames = 750;  // 15 s of output audio per channel
  static constexpr double tickInterval = 0.1;
  // Per channel and tick, so that a backlog in one cannot starve the other.
  static constexpr double budgetSeconds = 0.03;
  static constexpr int framesPerTickLimit = 100;
  // A timing line at least every 500 frames (10 s) of a channel, and whenever its audio
  // stops following on from the frame before by more than this.
  static constexpr uint64_t timingLineFrames = 500;
  static constexpr int64_t timingToleranceUs = 3000;
  static constexpr double lossLineInterval = 5.0;

 private:
  struct Channel {
    Channel(AudioProtocol::FrameType type, const char* name) : type(type), name(name) {}
    const AudioProtocol::FrameType type;
    const char* const name;
    AudioChannelBuffer buffer{bufferFrames};
    // Touched only by the output loop.
    uint64_t framesSent = 0;
    uint64_t nextIndex = 0;  // what follows the last frame written
    bool timed = false;      // a timing line has been written
    int64_t lastCaptureTimeUs = 0;
    uint64_t framesSinceTimingLine = 0;
    uint64_t lostFrames = 0;  // not yet reported
    uint64_t afterLoss = 0;   // the frame after the last of them
    double lastLossLine = -1e300;
  };

  void deliver(Channel& channel, std::span<const uint8_t> pcm, int64_t captureTimeUs);
  void startDataStream();
  // One iteration of the output loop; reschedules itself while streaming.
  void runLoopIteration(uint64_t generation);
  // Writes what the channel holds, within its budget; returns the frames written and the
  // level of the last.
  std::pair<int, double> sendChannel(Channel& channel);
  void reportLoss(Channel& channel);
  bool streaming(uint64_t generation) const;

  Executor& executor_;
  std::shared_ptr<AudioSource> micSource_;
  std::shared_ptr<AudioSource> systemSource_;
  Channel mic_{AudioProtocol::FrameType::mic, "mic"};
  Channel system_{AudioProtocol::FrameType::system, "system"};
  AudioChannelBuffer::Frame frame_;  // the output loop's

  mutable std::mutex stateLock_;
  bool isStreaming_ = false;
  uint64_t loopGeneration_ = 0;  // a restart before the old loop noticed the stop must not run two loops
  uint64_t loopIterations_ = 0;  // the output loop's
};

}  // namespace qb
