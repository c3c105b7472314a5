#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>

#include "audio/AudioOutputFormat.hpp"

namespace qb {

// One audio channel on its way from its source to the output loop: PCM in the output
// encoding, cut into 20 ms frames on a fixed grid (frame n is bytes [n * 3840, (n + 1) *
// 3840) of everything the source delivered), each with the capture time of its first
// sample. When the reader falls a whole capacity behind, the oldest whole frames are
// dropped, so frame numbers (the wire's sequence numbers) skip exactly the frames lost.
// While the reader keeps up, only the first pages of the storage are touched: one sized for
// a long stall costs its memory only during one.
//
// Thread-safe: the source writes on its own thread, the output loop reads; each call holds
// the lock for its copy only.
class AudioChannelBuffer {
 public:
  static constexpr size_t frameBytes = AudioOutputFormat::frameSize;
  // Capture times that stray less than this from the sample count are taken as jitter.
  static constexpr int64_t anchorToleranceUs = 1000;

  explicit AudioChannelBuffer(size_t capacityFrames);
  AudioChannelBuffer(const AudioChannelBuffer&) = delete;
  AudioChannelBuffer& operator=(const AudioChannelBuffer&) = delete;

  // `captureTimeUs` is when the first byte was captured; later bytes follow it by their
  // sample count until a write says otherwise.
  void write(std::span<const uint8_t> pcm, int64_t captureTimeUs);

  struct Frame {
    uint64_t index = 0;
    int64_t captureTimeUs = 0;
    std::array<uint8_t, frameBytes> pcm;
  };
  // The oldest whole frame, or false when there is none.
  bool read(Frame& out);
  size_t bufferedBytes() const;

 private:
  struct Anchor {
    uint64_t position;
    int64_t captureTimeUs;
  };
  // Lock held.
  int64_t captureTimeAt(uint64_t position) const;
  void dropBefore(uint64_t position);

  const size_t capacity_;
  std::unique_ptr<uint8_t[]> storage_;
  mutable std::mutex mutex_;
  size_t head_ = 0;        // storage index of the oldest byte held
  size_t count_ = 0;       // bytes held
  uint64_t position_ = 0;  // stream position of the oldest byte held, always a frame boundary
  std::deque<Anchor> anchors_;
};

}  // namespace qb
