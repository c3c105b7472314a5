#pragma once
// Buffers as a backend's threads hand them over, for the test's thread to take.

#include <cstddef>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/AudioBuffer.hpp"

namespace qb::testenv {

class BufferLog {
 public:
  void add(const AudioSampleBuffer& b) {
    std::lock_guard lock(mutex_);
    buffers_.push_back(b);
  }
  // Everything added since the last take.
  std::vector<AudioSampleBuffer> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(buffers_, {});
  }
  size_t count() const {
    std::lock_guard lock(mutex_);
    return buffers_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<AudioSampleBuffer> buffers_;
};

}  // namespace qb::testenv
