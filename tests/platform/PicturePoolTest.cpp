// The picture pool: bounded, reused memory that outlives the pool while frames hold it.

#include "platform/PicturePool.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace qb {
namespace {

TEST(PicturePoolTest, LendsAtMostCapacityAndReusesReturnedMemory) {
  PicturePool pool(64, 36, kPixelFormat420v, 2);
  EXPECT_EQ(pool.picturesMade(), 0) << "memory made before it was needed";
  auto a = pool.acquire();
  auto b = pool.acquire();
  ASSERT_TRUE(a && b);
  EXPECT_NE(a->frame.planes[0], b->frame.planes[0]);
  EXPECT_NE(a->slot, b->slot);
  EXPECT_FALSE(pool.acquire()) << "a third picture from a pool of two";
  EXPECT_FALSE(pool.hasFree());

  // A copy keeps the picture; only the last copy returns it.
  uint8_t* memoryOfA = a->frame.planes[0];
  const int slotOfA = a->slot;
  VideoFrame copy = a->frame;
  a.reset();
  EXPECT_FALSE(pool.acquire());
  copy = {};
  auto again = pool.acquire();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->frame.planes[0], memoryOfA);
  EXPECT_EQ(again->slot, slotOfA);
  EXPECT_EQ(pool.picturesMade(), 2);
  EXPECT_EQ(pool.picturesHeld(), 2);
}

TEST(PicturePoolTest, PlanesAreAlignedBlackAndLargeEnoughForOddSizes) {
  for (uint32_t format : {kPixelFormat420v, kPixelFormatBGRA}) {
    PicturePool pool(33, 17, format, 1);
    auto p = pool.acquire();
    ASSERT_TRUE(p);
    const VideoFrame& f = p->frame;
    EXPECT_EQ(f.width, 33);
    EXPECT_EQ(f.height, 17);
    EXPECT_EQ(f.planeCount(), format == kPixelFormat420v ? 2 : 1);
    for (int i = 0; i < f.planeCount(); ++i) {
      EXPECT_EQ(reinterpret_cast<uintptr_t>(f.planes[i]) % 64, 0u);
      EXPECT_EQ(f.strides[i] % 64, 0);
      EXPECT_GE(f.strides[i], f.planeRowBytes(i));
    }
    if (format == kPixelFormat420v) {
      EXPECT_EQ(f.planeRowBytes(1), 34);
      EXPECT_EQ(f.planeHeight(1), 9);
      EXPECT_GE(f.planes[1], f.planes[0] + f.strides[0] * 17) << "planes overlap";
      // Black in video range: Y 16, Cb and Cr 128, down to the last half row.
      EXPECT_EQ(f.planes[0][f.strides[0] * 16 + 32], 16);
      EXPECT_EQ(f.planes[1][f.strides[1] * 8 + 33], 128);
    } else {
      const uint8_t* last = f.planes[0] + f.strides[0] * 16 + 32 * 4;
      EXPECT_EQ(std::vector<uint8_t>(last, last + 4), (std::vector<uint8_t>{0, 0, 0, 255}));
    }
  }
}

TEST(PicturePoolTest, FramesOutliveThePoolAndMayBeDroppedOnAnyThread) {
  std::vector<VideoFrame> frames;
  {
    PicturePool pool(16, 16, kPixelFormatBGRA, 3);
    for (int i = 0; i < 3; ++i) frames.push_back(pool.acquire()->frame);
    frames[0].planes[0][0] = 7;
  }
  EXPECT_EQ(frames[0].planes[0][0], 7) << "memory freed with the pool";
  std::thread other([f = std::move(frames)]() mutable { f.clear(); });
  other.join();

  PicturePool pool(8, 8, kPixelFormatBGRA, 1);
  for (int round = 0; round < 100; ++round) {
    auto p = pool.acquire();
    ASSERT_TRUE(p) << "round " << round << ": picture not back from the other thread";
    std::thread([f = std::move(p->frame)]() mutable { f = {}; }).join();
  }
}

}  // namespace
}  // namespace qb
