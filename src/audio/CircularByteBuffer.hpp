#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace qb {

// Fixed-capacity byte ring that overwrites its oldest bytes when full, so a stalled
// consumer loses old audio instead of blocking producers. Any thread may produce or
// consume; each call is atomic under the ring's own lock, held only for the copy.
// In the streamer the microphone ring is produced on the "audio.buffer" queue (one
// write per source callback) and consumed by the output loop in 3840-byte frames,
// through that same queue; the system accumulator is written and read by the output
// loop alone.
class CircularByteBuffer {
 public:
  explicit CircularByteBuffer(size_t capacity);
  CircularByteBuffer(const CircularByteBuffer&) = delete;
  CircularByteBuffer& operator=(const CircularByteBuffer&) = delete;

  // Input longer than the capacity keeps only its first `capacity` bytes.
  void write(std::span<const uint8_t> bytes);
  size_t availableBytes() const;
  // Up to maxBytes of the oldest bytes; none when empty.
  std::optional<std::vector<uint8_t>> read(size_t maxBytes);
  size_t capacity() const { return capacity_; }

 private:
  // While the reader keeps up, the few bytes left after a read move to the front, so the ring
  // touches only its first pages: one sized for a long stall costs its memory only during one.
  static constexpr size_t kCompactBytes = 16384;
  void keepToTheFront();

  const size_t capacity_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t readIndex_ = 0;
  size_t writeIndex_ = 0;
  size_t count_ = 0;
  mutable std::mutex lock_;
};

}  // namespace qb
