#pragma once

#include <mutex>
#include <optional>
#include <vector>

namespace qb {

// Fixed-capacity element ring holding at most capacity - 1 elements; appending to a
// full ring drops the oldest element. Any thread may produce or consume; each call is
// atomic under the ring's own lock. In the streamer the system audio ring is produced
// on the "audio.buffer" queue (one element per source callback) and consumed by the
// output loop, through that same queue.
template <class T>
class CircularFrameBuffer {
 public:
  explicit CircularFrameBuffer(size_t capacity) : buffer_(capacity), capacity_(capacity) {}
  CircularFrameBuffer(const CircularFrameBuffer&) = delete;
  CircularFrameBuffer& operator=(const CircularFrameBuffer&) = delete;

  void append(T element) {
    std::lock_guard guard(lock_);
    buffer_[tail_] = std::move(element);
    tail_ = (tail_ + 1) % capacity_;
    if (tail_ == head_) {
      buffer_[head_].reset();
      head_ = (head_ + 1) % capacity_;
    }
  }

  std::optional<T> removeFirst() {
    std::lock_guard guard(lock_);
    if (head_ == tail_) return std::nullopt;
    std::optional<T> element = std::move(buffer_[head_]);
    buffer_[head_].reset();
    head_ = (head_ + 1) % capacity_;
    return element;
  }

  size_t count() const {
    std::lock_guard guard(lock_);
    return tail_ >= head_ ? tail_ - head_ : capacity_ - head_ + tail_;
  }

 private:
  std::vector<std::optional<T>> buffer_;
  size_t head_ = 0;
  size_t tail_ = 0;
  const size_t capacity_;
  mutable std::mutex lock_;
};

}  // namespace qb
