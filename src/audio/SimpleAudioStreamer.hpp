#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>

#include "audio/AudioSource.hpp"
#include "audio/CircularByteBuffer.hpp"
#include "audio/CircularFrameBuffer.hpp"
#include "audio/SystemAudioFrame.hpp"
#include "runtime/Executor.hpp"

namespace qb {

// Collects PCM from a microphone-channel and a system-channel source and writes it as
// two independent streams of 20 ms audio frames. Sources deliver on any thread; the
// rings are fed on the serial "audio.buffer" queue; an output loop on the executor's
// pool cuts and writes frames every 100 ms. Always create with std::make_shared.
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

  static constexpr size_t ringCapacity = 2880000;  // 15 s of output audio
  static constexpr size_t systemQueueSlots = 2250;
  static constexpr double tickInterval = 0.1;
  static constexpr double systemBudgetSeconds = 0.03;
  static constexpr int systemFramesPerTickLimit = 100;

 private:
  void handleMicData(std::span<const uint8_t> bytes);
  void handleSystemData(std::span<const uint8_t> bytes);
  void startDataStream();
  // One iteration of the output loop; reschedules itself while streaming.
  void runLoopIteration(uint64_t generation);
  void sendAudioData();
  bool streaming(uint64_t generation) const;

  Executor& executor_;
  std::shared_ptr<AudioSource> micSource_;
  std::shared_ptr<AudioSource> systemSource_;
  // Produced on bufferQueue_, consumed by the output loop through bufferQueue_.
  CircularByteBuffer micBuffer_{ringCapacity};
  CircularFrameBuffer<SystemAudioFrame> systemFrameBuffer_{systemQueueSlots};
  // The output loop's own: it joins system chunks into whole frames.
  CircularByteBuffer systemAudioAccumulator_{ringCapacity};
  std::shared_ptr<Queue> bufferQueue_;

  mutable std::mutex stateLock_;
  bool isStreaming_ = false;
  uint64_t loopGeneration_ = 0;  // a restart before the old loop noticed the stop must not run two loops

  // Touched only by the output loop.
  uint64_t micFramesSent_ = 0;
  uint64_t systemFramesSent_ = 0;
  uint32_t micSequence_ = 0;
  uint32_t systemSequence_ = 0;
  uint64_t loopIterations_ = 0;
};

}  // namespace qb
