#include "audio/AudioChannelBuffer.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace qb {

namespace {

constexpr double kBytesPerSecond = double(AudioOutputFormat::sampleRate) * AudioOutputFormat::bytesPerSampleFrame;
// While what is held fits in this many bytes it moves to the front after a read.
constexpr size_t kCompactBytes = 16384;

int64_t durationUs(uint64_t bytes) { return std::llround(double(bytes) * 1e6 / kBytesPerSecond); }

}  // namespace

AudioChannelBuffer::AudioChannelBuffer(size_t capacityFrames)
    : capacity_(capacityFrames * frameBytes), storage_(std::make_unique_for_overwrite<uint8_t[]>(capacity_)) {
  if (capacityFrames == 0) throw std::invalid_argument("AudioChannelBuffer needs room for a frame");
}

int64_t AudioChannelBuffer::captureTimeAt(uint64_t position) const {
  auto it = std::upper_bound(anchors_.begin(), anchors_.end(), position,
                             [](uint64_t p, const Anchor& a) { return p < a.position; });
  if (it == anchors_.begin()) return 0;
  --it;
  return it->captureTimeUs + durationUs(position - it->position);
}

void AudioChannelBuffer::dropBefore(uint64_t position) {
  // The anchor that times `position` stays.
  while (anchors_.size() > 1 && anchors_[1].position <= position) anchors_.pop_front();
}

void AudioChannelBuffer::write(std::span<const uint8_t> pcm, int64_t captureTimeUs) {
  if (pcm.empty()) return;
  std::lock_guard lock(mutex_);
  const uint64_t end = position_ + count_;
  if (anchors_.empty() || std::llabs(captureTimeUs - captureTimeAt(end)) > anchorToleranceUs)
    anchors_.push_back({end, captureTimeUs});

  if (count_ + pcm.size() > capacity_) {
    // Whole frames go from the old end, and from the head of the input when it is longer
    // than the whole storage.
    const size_t excess = count_ + pcm.size() - capacity_;
    const size_t drop = (excess + frameBytes - 1) / frameBytes * frameBytes;
    if (drop >= count_) {
      pcm = pcm.subspan(drop - count_);
      head_ = 0;
      count_ = 0;
    } else {
      head_ = (head_ + drop) % capacity_;
      count_ -= drop;
    }
    position_ += drop;
    dropBefore(position_);
  }
  const size_t at = (head_ + count_) % capacity_;
  const size_t first = std::min(pcm.size(), capacity_ - at);
  std::memcpy(storage_.get() + at, pcm.data(), first);
  std::memcpy(storage_.get(), pcm.data() + first, pcm.size() - first);
  count_ += pcm.size();
}

bool AudioChannelBuffer::read(Frame& out) {
  std::lock_guard lock(mutex_);
  if (count_ < frameBytes) return false;
  out.index = position_ / frameBytes;
  out.captureTimeUs = captureTimeAt(position_);
  const size_t first = std::min(frameBytes, capacity_ - head_);
  std::memcpy(out.pcm.data(), storage_.get() + head_, first);
  std::memcpy(out.pcm.data() + first, storage_.get(), frameBytes - first);
  head_ = (head_ + frameBytes) % capacity_;
  count_ -= frameBytes;
  position_ += frameBytes;
  dropBefore(position_);
  if (head_ != 0 && count_ <= kCompactBytes && head_ + count_ <= capacity_) {
    std::memmove(storage_.get(), storage_.get() + head_, count_);
    head_ = 0;
  }
  return true;
}

size_t AudioChannelBuffer::bufferedBytes() const {
  std::lock_guard lock(mutex_);
  return count_;
}

}  // namespace qb
