// The counter code the test window paints must read back from scaled, lossy frames, and a
// frame caught between two paints must read as nothing rather than as a wrong number.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "TestPictures.hpp"

namespace qb {
namespace {

using namespace qb::testpictures;

struct Luma {
  int width, height;
  std::vector<double> px;
  double at(int x, int y) const { return px[size_t(y) * size_t(width) + size_t(x)]; }
};

// The code as the window paints it, black 16 and white 235 (video range).
Luma paint(uint16_t value, int width, int height) {
  Luma l{width, height, std::vector<double>(size_t(width) * size_t(height), 16)};
  for (int r = 0; r < kCodeRows; ++r)
    for (int c = 0; c < kCodeColumns; ++c) {
      const CellBounds b = codeCell(width, height, c, r);
      if (!codeCellIsWhite(value, c, r)) continue;
      for (int y = b.y0; y < b.y1; ++y)
        for (int x = b.x0; x < b.x1; ++x) l.px[size_t(y) * size_t(width) + size_t(x)] = 235;
    }
  return l;
}

// Box-filtered down to width x height, placed at (ox, oy) in a black frame of fw x fh.
Luma scaleInto(const Luma& src, int width, int height, int fw, int fh, int ox, int oy) {
  Luma out{fw, fh, std::vector<double>(size_t(fw) * size_t(fh), 16)};
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const int x0 = x * src.width / width, x1 = std::max(x0 + 1, (x + 1) * src.width / width);
      const int y0 = y * src.height / height, y1 = std::max(y0 + 1, (y + 1) * src.height / height);
      double sum = 0;
      for (int sy = y0; sy < y1; ++sy)
        for (int sx = x0; sx < x1; ++sx) sum += src.at(sx, sy);
      out.px[size_t(oy + y) * size_t(fw) + size_t(ox + x)] = sum / ((x1 - x0) * (y1 - y0));
    }
  return out;
}

std::optional<uint16_t> decode(const Luma& l, int x, int y, int w, int h) {
  return decodeCounter([&](int px, int py) { return l.at(px, py); }, x, y, w, h);
}

TEST(CounterCode, ReadsBackExactScaledNoisyAndShiftedPictures) {
  for (uint16_t v : {uint16_t(0), uint16_t(1), uint16_t(0x8000), uint16_t(0xA5C3), uint16_t(0xFFFF)}) {
    const Luma exact = paint(v, 400, 200);
    EXPECT_EQ(decode(exact, 0, 0, 400, 200), v);

    // A 400x200 window in a 1280x720 frame at a third of its size, letterboxed.
    const Luma small = scaleInto(exact, 133, 67, 320, 180, 93, 56);
    EXPECT_EQ(decode(small, 93, 56, 133, 67), v);
    // The region guessed a few pixels off still reads.
    EXPECT_EQ(decode(small, 95, 54, 133, 67), v);

    // Encoder noise of +-30 levels.
    Luma noisy = small;
    std::mt19937 rng(v);
    std::uniform_real_distribution<double> noise(-30, 30);
    for (auto& p : noisy.px) p += noise(rng);
    EXPECT_EQ(decode(noisy, 93, 56, 133, 67), v);
  }
}

TEST(CounterCode, PicturesWithoutACleanCodeReadAsNothing) {
  // Flat grey, and a window far too small to hold the grid.
  EXPECT_EQ(decode(Luma{64, 32, std::vector<double>(64 * 32, 128)}, 0, 0, 64, 32), std::nullopt);
  EXPECT_EQ(decode(paint(7, 10, 5), 0, 0, 10, 5), std::nullopt);

  // The top half of one number over the bottom half of the next: the complements disagree.
  Luma torn = paint(0x1234, 400, 200);
  const Luma next = paint(0x1235, 400, 200);
  for (size_t i = torn.px.size() / 2; i < torn.px.size(); ++i) torn.px[i] = next.px[i];
  EXPECT_EQ(decode(torn, 0, 0, 400, 200), std::nullopt);

  // A cell blurred half-way between black and white is not guessed.
  Luma blurred = paint(0x00FF, 400, 200);
  const CellBounds b = codeCell(400, 200, 3, 1);
  for (int y = b.y0; y < b.y1; ++y)
    for (int x = b.x0; x < b.x1; ++x) blurred.px[size_t(y) * 400 + size_t(x)] = 125;
  EXPECT_EQ(decode(blurred, 0, 0, 400, 200), std::nullopt);
}

}  // namespace
}  // namespace qb
