#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "audio/AudioLevel.hpp"
#include "audio/AudioOutputFormat.hpp"
#include "audio/CircularByteBuffer.hpp"
#include "audio/CircularFrameBuffer.hpp"

namespace qb {
namespace {

using ::testing::ElementsAre;

std::vector<uint8_t> bytes(std::initializer_list<int> values) {
  return std::vector<uint8_t>(values.begin(), values.end());
}

std::vector<uint8_t> int16Bytes(std::vector<int16_t> samples) {
  std::vector<uint8_t> out;
  for (auto s : samples) {
    out.push_back(static_cast<uint8_t>(s & 0xFF));
    out.push_back(static_cast<uint8_t>((static_cast<uint16_t>(s) >> 8) & 0xFF));
  }
  return out;
}

TEST(AudioLevel, MeasuresAgainstFullScale32767) {
  EXPECT_EQ(calculateRMSInt16(std::vector<uint8_t>(3840, 0)), 0.0);
  EXPECT_NEAR(calculateRMSInt16(int16Bytes(std::vector<int16_t>(1920, 16384))), 16384.0 / 32767.0, 1e-12);
  EXPECT_DOUBLE_EQ(calculateRMSInt16(int16Bytes({32767, -32767, 32767, -32767})), 1.0);
  EXPECT_GT(calculateRMSInt16(int16Bytes({-32768})), 1.0);
  // A trailing odd byte is ignored: one sample of 0x0100 = 256.
  EXPECT_DOUBLE_EQ(calculateRMSInt16(bytes({0x00, 0x01, 0x7F})), 256.0 / 32767.0);
  EXPECT_EQ(calculateRMSInt16(bytes({0x7F})), 0.0);
  EXPECT_EQ(calculateRMSInt16({}), 0.0);
  EXPECT_EQ(AudioOutputFormat::frameSize,
            static_cast<int>(AudioOutputFormat::sampleRate * AudioOutputFormat::frameDuration *
                             AudioOutputFormat::channels * AudioOutputFormat::bitsPerSample / 8));
}

TEST(CircularByteBuffer, OverwritesOldestAndKeepsOrderAcrossWraps) {
  CircularByteBuffer ring(10);
  ring.write(bytes({1, 2, 3, 4, 5, 6, 7, 8}));
  ring.write(bytes({9, 10, 11, 12, 13}));
  EXPECT_EQ(ring.availableBytes(), 10u);
  EXPECT_EQ(*ring.read(10), bytes({4, 5, 6, 7, 8, 9, 10, 11, 12, 13}));
  EXPECT_FALSE(ring.read(3840));

  // Indices now sit mid-storage: partial reads and writes that straddle the end.
  ring.write(bytes({1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(*ring.read(4), bytes({1, 2, 3, 4}));
  ring.write(bytes({7, 8, 9, 10, 11, 12}));
  EXPECT_EQ(ring.availableBytes(), 8u);
  EXPECT_EQ(*ring.read(100), bytes({5, 6, 7, 8, 9, 10, 11, 12}));

  ring.write({});
  EXPECT_EQ(ring.availableBytes(), 0u);
}

TEST(CircularByteBuffer, OversizedWriteKeepsItsFirstCapacityBytes) {
  CircularByteBuffer ring(10);
  ring.write(bytes({50, 51, 52}));
  std::vector<uint8_t> big(12);
  std::iota(big.begin(), big.end(), 0);
  ring.write(big);
  EXPECT_EQ(*ring.read(20), bytes({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST(CircularByteBuffer, MatchesAReferenceQueueUnderRandomTraffic) {
  // The small ring moves its rest to the front on almost every read; the large one keeps
  // rests above that threshold where they lie, and wraps.
  for (const size_t capacity : {size_t(97), size_t(60000)}) {
    CircularByteBuffer ring(capacity);
    std::vector<uint8_t> model;
    uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1103515245 + 12345, (seed >> 16) & 0x7FFF; };
    uint8_t counter = 0;
    for (int step = 0; step < 5000; ++step) {
      if (next() % 2) {
        std::vector<uint8_t> in(next() % (capacity * 4 / 3));
        for (auto& b : in) b = counter++;
        ring.write(in);
        size_t keep = std::min(in.size(), capacity);
        model.insert(model.end(), in.begin(), in.begin() + static_cast<long>(keep));
        if (model.size() > capacity) model.erase(model.begin(), model.end() - static_cast<long>(capacity));
      } else {
        size_t want = next() % (capacity * 3 / 5);
        auto got = ring.read(want);
        size_t n = std::min(want, model.size());
        if (model.empty()) {
          ASSERT_FALSE(got);
        } else {
          ASSERT_TRUE(got);
          ASSERT_EQ(*got, std::vector<uint8_t>(model.begin(), model.begin() + static_cast<long>(n))) << capacity;
          model.erase(model.begin(), model.begin() + static_cast<long>(n));
        }
      }
      ASSERT_EQ(ring.availableBytes(), model.size()) << capacity;
    }
  }
}

TEST(CircularFrameBuffer, HoldsCapacityMinusOneAndDropsOldest) {
  CircularFrameBuffer<int> ring(3);
  ring.append(1);
  ring.append(2);
  EXPECT_EQ(ring.count(), 2u);
  ring.append(3);
  EXPECT_EQ(ring.count(), 2u);
  EXPECT_EQ(ring.removeFirst(), 2);
  EXPECT_EQ(ring.removeFirst(), 3);
  EXPECT_FALSE(ring.removeFirst());

  // tail wrapped below head
  CircularFrameBuffer<int> wrapped(5);
  for (int i = 0; i < 4; ++i) wrapped.append(i);
  wrapped.removeFirst();
  wrapped.removeFirst();
  wrapped.append(4);
  wrapped.append(5);
  EXPECT_EQ(wrapped.count(), 4u);
  std::vector<int> rest;
  while (auto v = wrapped.removeFirst()) rest.push_back(*v);
  EXPECT_THAT(rest, ElementsAre(2, 3, 4, 5));
}

}  // namespace
}  // namespace qb
