#include "audio/CircularByteBuffer.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace qb {

CircularByteBuffer::CircularByteBuffer(size_t capacity)
    : capacity_(capacity), buffer_(std::make_unique_for_overwrite<uint8_t[]>(capacity)) {
  if (capacity == 0) throw std::invalid_argument("CircularByteBuffer capacity must be > 0");
}

void CircularByteBuffer::write(std::span<const uint8_t> bytes) {
  std::lock_guard guard(lock_);
  size_t toWrite = std::min(capacity_, bytes.size());
  if (toWrite == 0) return;
  if (toWrite > capacity_ - count_) {
    size_t overflow = toWrite - (capacity_ - count_);
    readIndex_ = (readIndex_ + overflow) % capacity_;
    count_ -= overflow;
  }
  size_t first = std::min(toWrite, capacity_ - writeIndex_);
  std::memcpy(buffer_.get() + writeIndex_, bytes.data(), first);
  if (first < toWrite) std::memcpy(buffer_.get(), bytes.data() + first, toWrite - first);
  writeIndex_ = (writeIndex_ + toWrite) % capacity_;
  count_ += toWrite;
}

size_t CircularByteBuffer::availableBytes() const {
  std::lock_guard guard(lock_);
  return count_;
}

std::optional<std::vector<uint8_t>> CircularByteBuffer::read(size_t maxBytes) {
  std::lock_guard guard(lock_);
  if (count_ == 0) return std::nullopt;
  size_t n = std::min(count_, maxBytes);
  std::vector<uint8_t> out(n);
  if (n == 0) return out;
  size_t first = std::min(n, capacity_ - readIndex_);
  std::memcpy(out.data(), buffer_.get() + readIndex_, first);
  if (first < n) std::memcpy(out.data() + first, buffer_.get(), n - first);
  readIndex_ = (readIndex_ + n) % capacity_;
  count_ -= n;
  keepToTheFront();
  return out;
}

void CircularByteBuffer::keepToTheFront() {
  if (readIndex_ == 0 || count_ > kCompactBytes || readIndex_ + count_ > capacity_) return;
  std::memmove(buffer_.get(), buffer_.get() + readIndex_, count_);
  readIndex_ = 0;
  writeIndex_ = count_ % capacity_;
}

}  // namespace qb
