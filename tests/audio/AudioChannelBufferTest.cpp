#include "audio/AudioChannelBuffer.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace qb {
namespace {

constexpr size_t F = AudioChannelBuffer::frameBytes;

// Bytes whose values tell their stream position, so a frame shows where it came from.
std::vector<uint8_t> stream(uint64_t from, size_t count) {
  std::vector<uint8_t> out(count);
  for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>((from + i) * 7 + (from + i) / 3840);
  return out;
}

std::vector<uint64_t> drain(AudioChannelBuffer& buffer, std::vector<int64_t>* times = nullptr) {
  std::vector<uint64_t> indices;
  AudioChannelBuffer::Frame f;
  while (buffer.read(f)) {
    EXPECT_EQ(std::vector<uint8_t>(f.pcm.begin(), f.pcm.end()), stream(f.index * F, F)) << "frame " << f.index;
    indices.push_back(f.index);
    if (times) times->push_back(f.captureTimeUs);
  }
  return indices;
}

TEST(AudioChannelBuffer, CutsFramesOnTheGridAndDropsWholeFramesWhenFull) {
  AudioChannelBuffer buffer(3);
  buffer.write(stream(0, 1000), 1);
  buffer.write(stream(1000, 2 * F), 1);  // unaligned pieces
  EXPECT_EQ(drain(buffer), (std::vector<uint64_t>{0, 1}));
  EXPECT_EQ(buffer.bufferedBytes(), 1000u);

  // 1000 held + 3 frames written: one frame more than fits goes, the oldest whole one.
  buffer.write(stream(2 * F + 1000, 3 * F), 1);
  EXPECT_EQ(drain(buffer), (std::vector<uint64_t>{3, 4}));

  // A write longer than the whole storage keeps its newest whole frames.
  const uint64_t at = 5 * F + 1000;
  buffer.write(stream(at, 10 * F), 1);
  EXPECT_EQ(drain(buffer), (std::vector<uint64_t>{13, 14}));
  buffer.write(stream(at + 10 * F, F - 1000), 1);
  EXPECT_EQ(drain(buffer), (std::vector<uint64_t>{15}));
  EXPECT_EQ(buffer.bufferedBytes(), 0u);
}

TEST(AudioChannelBuffer, KeepsItsGridUnderRandomTrafficAndLosesNothingWhileTheReaderKeepsUp) {
  for (size_t capacity : {size_t(2), size_t(40)}) {
    AudioChannelBuffer buffer(capacity);
    uint64_t written = 0, expectedNext = 0, gaps = 0;
    uint32_t seed = 7;
    auto next = [&] { return seed = seed * 1103515245 + 12345, (seed >> 16) & 0x7FFF; };
    auto read = [&] {
      for (uint64_t index : drain(buffer)) {
        ASSERT_GE(index, expectedNext);
        gaps += index - expectedNext;
        expectedNext = index + 1;
      }
    };
    bool missed = false;
    for (int step = 0; step < 3000; ++step) {
      const size_t n = next() % (capacity * F / 3 + 1);
      buffer.write(stream(written, n), 1);
      written += n;
      // The reader misses a turn now and then, never two in a row.
      missed = !missed && next() % 3 == 0;
      if (!missed) read();
    }
    read();
    EXPECT_EQ(expectedNext, written / F) << capacity;
    // Two writes and a partial frame fit in 40 frames, not in 2.
    EXPECT_EQ(gaps > 0, capacity == 2) << capacity;
  }
}

TEST(AudioChannelBuffer, FramesAreTimedFromTheWriteThatHoldsTheirFirstByte) {
  AudioChannelBuffer buffer(10);
  const int64_t t0 = 5'000'000;
  buffer.write(stream(0, F + F / 2), t0);
  // Half a frame later by its sample count, with jitter below the tolerance: no new anchor.
  buffer.write(stream(F + F / 2, F / 2), t0 + 30000 + 900);
  // The next write comes 8 ms late (a restart, a server hiccup): it starts a new anchor.
  buffer.write(stream(2 * F, 2 * F), t0 + 40000 + 8000);
  std::vector<int64_t> times;
  drain(buffer, &times);
  EXPECT_EQ(times, (std::vector<int64_t>{t0, t0 + 20000, t0 + 48000, t0 + 68000}));
}

}  // namespace
}  // namespace qb
