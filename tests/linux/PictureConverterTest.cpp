// The picture converter: letterbox geometry, strides and sub-rectangles, damage-only
// conversion equal to a full one and the changes it names, the pointer composited and clipped.

#include "platform/linux/encode/PictureConverter.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <random>
#include <vector>

namespace qb::encode {
namespace {

// A BGRA picture the test owns, with a stride wider than its rows.
struct Grab {
  int width, height, stride;
  std::vector<uint8_t> bytes;
  Grab(int w, int h, int padding = 0) : width(w), height(h), stride(w * 4 + padding), bytes(size_t(stride) * h, 0xEE) {}
  uint8_t* at(int x, int y) { return bytes.data() + size_t(y) * stride + 4 * x; }
  void fill(const PixelRect& r, uint32_t bgra) {
    for (int y = r.y; y < r.y + r.height; ++y)
      for (int x = r.x; x < r.x + r.width; ++x) std::memcpy(at(x, y), &bgra, 4);
  }
  void noise(const PixelRect& r, std::mt19937& rng) {
    for (int y = r.y; y < r.y + r.height; ++y)
      for (int x = r.x; x < r.x + r.width; ++x)
        for (int c = 0; c < 4; ++c) at(x, y)[c] = uint8_t(rng());
  }
  BgraView view() const { return {bytes.data(), stride, width, height}; }
};

// The visible bytes of every plane, without the stride padding.
std::vector<uint8_t> pixels(const VideoFrame& f) {
  std::vector<uint8_t> out;
  for (int p = 0; p < f.planeCount(); ++p)
    for (int y = 0; y < f.planeHeight(p); ++y) {
      const uint8_t* row = f.planes[p] + size_t(y) * f.strides[p];
      out.insert(out.end(), row, row + f.planeRowBytes(p));
    }
  return out;
}

uint8_t lumaAt(const VideoFrame& f, int x, int y) { return f.planes[0][size_t(y) * f.strides[0] + x]; }
const uint8_t* bgraAt(const VideoFrame& f, int x, int y) { return f.planes[0] + size_t(y) * f.strides[0] + 4 * x; }

constexpr uint32_t kWhite = 0xFFFFFFFF;
constexpr uint32_t kRed = 0x00FF0000;  // no alpha: X leaves the fourth byte undefined

TEST(PictureConverterTest, FitKeepsTheAspectRatioCentredOnEvenCoordinates) {
  EXPECT_EQ(PictureConverter::fit(1920, 1080, 1920, 1080), (PixelRect{0, 0, 1920, 1080}));
  EXPECT_EQ(PictureConverter::fit(3840, 2160, 1280, 720), (PixelRect{0, 0, 1280, 720}));
  EXPECT_EQ(PictureConverter::fit(800, 600, 1920, 1080), (PixelRect{240, 0, 1440, 1080}));
  EXPECT_EQ(PictureConverter::fit(1920, 1200, 1920, 1080), (PixelRect{96, 0, 1728, 1080}));
  EXPECT_EQ(PictureConverter::fit(1000, 200, 640, 480), (PixelRect{0, 176, 640, 128}));
  // Odd pictures: a full side keeps its odd length, a letterboxed one is even.
  EXPECT_EQ(PictureConverter::fit(64, 36, 33, 17), (PixelRect{0, 0, 30, 17}));
  EXPECT_EQ(PictureConverter::fit(101, 51, 101, 51), (PixelRect{0, 0, 101, 51}));
  EXPECT_EQ(PictureConverter::fit(1, 1000, 64, 64), (PixelRect{30, 0, 1, 64}));
  EXPECT_TRUE(PictureConverter::fit(0, 10, 64, 64).empty());
}

TEST(PictureConverterTest, LetterboxIsBlackAndTheContentKeepsItsColourInBothFormats) {
  Grab grab(400, 300, 12);
  grab.fill({0, 0, 400, 300}, kWhite & 0x00FFFFFF);
  grab.fill({200, 0, 200, 300}, kRed);
  {
    PictureConverter nv12(192, 108, kPixelFormat420v);
    auto f = nv12.convert(grab.view(), {}, nullptr, 2.5);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->presentationTime, 2.5);
    EXPECT_EQ(nv12.contentRect(), (PixelRect{24, 0, 144, 108}));
    EXPECT_EQ(lumaAt(*f, 0, 50), 16);
    EXPECT_EQ(lumaAt(*f, 191, 50), 16);
    EXPECT_EQ(f->planes[1][50 / 2 * f->strides[1] + 0], 128);
    // Scaled content may lose up to 2 levels: the library's scaler weighs neighbours in 7 bits.
    EXPECT_NEAR(lumaAt(*f, 30, 50), 235, 3);  // white in video range
    EXPECT_NEAR(lumaAt(*f, 150, 50), 82, 3);  // BT.601 red
    const uint8_t* redChroma = f->planes[1] + 50 / 2 * f->strides[1] + 150 / 2 * 2;
    EXPECT_NEAR(redChroma[0], 90, 3);   // Cb
    EXPECT_NEAR(redChroma[1], 240, 3);  // Cr
  }
  {
    PictureConverter bgra(192, 108, kPixelFormatBGRA);
    auto f = bgra.convert(grab.view(), {}, nullptr, 0);
    ASSERT_TRUE(f);
    auto expectColour = [&](int x, int y, std::vector<int> bgraBytes) {
      for (int c = 0; c < 4; ++c) EXPECT_NEAR(bgraAt(*f, x, y)[c], bgraBytes[size_t(c)], 2) << x << "," << y;
    };
    expectColour(5, 5, {0, 0, 0, 255});
    expectColour(30, 5, {255, 255, 255, 255});
    expectColour(150, 5, {0, 0, 255, 255});
  }
}

TEST(PictureConverterTest, StrideAndSubRectangleOfALargerGrabGiveTheSamePicture) {
  std::mt19937 rng(7);
  Grab big(100, 70, 36);
  big.noise({0, 0, 100, 70}, rng);
  Grab tight(37, 23);
  for (int y = 0; y < 23; ++y) std::memcpy(tight.at(0, y), big.at(11, 13 + y), 37 * 4);
  const BgraView inner{big.at(11, 13), big.stride, 37, 23};
  for (uint32_t format : {kPixelFormat420v, kPixelFormatBGRA})
    for (auto [w, h] : {std::pair{37, 23}, std::pair{33, 17}, std::pair{64, 64}}) {
      PictureConverter a(w, h, format), b(w, h, format);
      auto fa = a.convert(inner, {}, nullptr, 0);
      auto fb = b.convert(tight.view(), {}, nullptr, 0);
      ASSERT_TRUE(fa && fb);
      EXPECT_EQ(pixels(*fa), pixels(*fb)) << w << "x" << h << " format " << format;
    }
}

// Every pixel in which `picture` differs from `before` (pixels() of the picture before it) lies
// in one of the changes the picture names.
void expectChangesCoverTheDifference(const std::vector<uint8_t>& before, const VideoFrame& picture) {
  auto named = [&](int x, int y) {
    for (int i = 0; i < picture.changeCount; ++i) {
      const auto& a = picture.changes[size_t(i)];
      if (x >= a.x && x < a.x + a.width && y >= a.y && y < a.y + a.height) return true;
    }
    return false;
  };
  const std::vector<uint8_t> after = pixels(picture);
  ASSERT_EQ(before.size(), after.size());
  const int bytesPerPixel = picture.pixelFormat == kPixelFormat420v ? 1 : 4;
  size_t at = 0;
  for (int p = 0; p < picture.planeCount(); ++p) {
    // A chroma sample belongs to a 2 x 2 block of pixels: one of them must be named.
    const int scale = p == 0 ? 1 : 2, unit = p == 0 ? bytesPerPixel : 2;
    for (int y = 0; y < picture.planeHeight(p); ++y)
      for (int x = 0; x < picture.planeRowBytes(p) / unit; ++x, at += size_t(unit)) {
        if (!std::memcmp(&before[at], &after[at], size_t(unit))) continue;
        const bool covered =
            named(x * scale, y * scale) ||
            (scale == 2 && (named(x * 2 + 1, y * 2) || named(x * 2, y * 2 + 1) || named(x * 2 + 1, y * 2 + 1)));
        ASSERT_TRUE(covered) << "plane " << p << " changed at " << x << "," << y << " outside the changes named";
      }
  }
}

// Runs the same sequence of changes and pointer moves through a converter told only the
// damage and one told to convert everything, and compares every picture. The damage path's
// pictures are sometimes held for a while, so that its pool takes turns; each says where it
// differs from the one before.
void expectDamagePathEqualsFullPath(int width, int height, uint32_t format, int sourceW, int sourceH) {
  std::mt19937 rng(42);
  Grab grab(sourceW, sourceH, 8);
  grab.noise({0, 0, sourceW, sourceH}, rng);
  std::vector<uint32_t> arrow(12 * 20);
  for (size_t i = 0; i < arrow.size(); ++i) arrow[i] = (i % 3 == 0) ? 0x80404040u : (i % 3 == 1 ? 0xFF000000u : 0);
  PictureConverter damaged(width, height, format, 3), full(width, height, format, 3);
  std::deque<VideoFrame> held;
  std::vector<uint8_t> before;
  uint64_t beforeSerial = 0;
  int hinted = 0;
  for (int step = 0; step < 12; ++step) {
    std::vector<PixelRect> damage;
    if (step > 0)
      for (int i = 0; i < 1 + step % 3; ++i) {
        const PixelRect r{int(rng() % sourceW), int(rng() % sourceH), 1 + int(rng() % 40), 1 + int(rng() % 30)};
        grab.noise({r.x, r.y, std::min(r.width, sourceW - r.x), std::min(r.height, sourceH - r.y)}, rng);
        damage.push_back(r);
      }
    // The pointer wanders, leaves the picture at its edges and sometimes is not drawn.
    const CursorView cursor{arrow.data(), 12, 20, step * 37 % (sourceW + 20) - 10, step * 23 % (sourceH + 20) - 10, 1};
    const CursorView* drawn = step % 4 == 3 ? nullptr : &cursor;
    auto a = damaged.convert(grab.view(), damage, drawn, step);
    full.invalidate();
    auto b = full.convert(grab.view(), {}, drawn, step);
    ASSERT_TRUE(a && b);
    ASSERT_EQ(pixels(*a), pixels(*b)) << "step " << step;
    EXPECT_NE(a->serial, 0u);
    if (a->changedSince != 0) {
      EXPECT_EQ(a->changedSince, beforeSerial) << "step " << step;
      expectChangesCoverTheDifference(before, *a);
      ++hinted;
    }
    before = pixels(*a);
    beforeSerial = a->serial;
    held.push_back(*a);
    while (int(held.size()) > step % 3) held.pop_front();
  }
  EXPECT_GE(hinted, 5) << "pictures that said where they changed, " << width << "x" << height << " from " << sourceW
                       << "x" << sourceH;
}

TEST(PictureConverterTest, DamagedRectanglesGiveTheSamePicturesAsFullConversion) {
  expectDamagePathEqualsFullPath(160, 90, kPixelFormat420v, 160, 90);  // 1:1
  expectDamagePathEqualsFullPath(160, 90, kPixelFormatBGRA, 160, 90);
  expectDamagePathEqualsFullPath(161, 91, kPixelFormat420v, 161, 91);   // odd 1:1
  expectDamagePathEqualsFullPath(160, 90, kPixelFormat420v, 240, 150);  // scaled down, letterboxed
  expectDamagePathEqualsFullPath(160, 90, kPixelFormatBGRA, 100, 50);   // scaled up
}

TEST(PictureConverterTest, DamageSurvivesAnEmptyPoolAndAGeometryChangeConvertsEverything) {
  std::mt19937 rng(3);
  Grab grab(64, 48);
  grab.noise({0, 0, 64, 48}, rng);
  PictureConverter c(64, 48, kPixelFormat420v, 2);
  std::vector<VideoFrame> held;
  for (int i = 0; i < 2; ++i) held.push_back(*c.convert(grab.view(), {}, nullptr, i));
  EXPECT_FALSE(c.hasFreePicture());
  grab.noise({10, 10, 20, 20}, rng);
  const PixelRect change{10, 10, 20, 20};
  EXPECT_FALSE(c.convert(grab.view(), {&change, 1}, nullptr, 2)) << "a picture from an empty pool";
  held.clear();
  auto after = c.convert(grab.view(), {}, nullptr, 3);
  PictureConverter reference(64, 48, kPixelFormat420v);
  ASSERT_TRUE(after);
  EXPECT_EQ(pixels(*after), pixels(*reference.convert(grab.view(), {}, nullptr, 0))) << "damage lost while skipping";

  // A window that grows: the whole new source, rescaled, without being told.
  Grab larger(128, 48);
  larger.noise({0, 0, 128, 48}, rng);
  after = c.convert(larger.view(), {}, nullptr, 4);
  PictureConverter fresh(64, 48, kPixelFormat420v);
  EXPECT_EQ(pixels(*after), pixels(*fresh.convert(larger.view(), {}, nullptr, 0)));
}

TEST(PictureConverterTest, CursorIsBlendedAtItsPositionAndClippedAtEveryEdge) {
  // Premultiplied: an opaque white pixel and a half-transparent black one.
  std::vector<uint32_t> image = {0xFFFFFFFF, 0x80000000, 0, 0xFFFFFFFF};
  Grab grab(40, 30);
  grab.fill({0, 0, 40, 30}, 0x00C86432);  // R 200, G 100, B 50
  const CursorView at{image.data(), 2, 2, 5, 7, 1};
  uint8_t* px = grab.at(6, 7);
  compositeCursor(grab.bytes.data(), grab.stride, 40, 30, at);
  EXPECT_EQ(std::vector<uint8_t>(grab.at(5, 7), grab.at(5, 7) + 4), (std::vector<uint8_t>{255, 255, 255, 255}));
  EXPECT_EQ(std::vector<uint8_t>(px, px + 4), (std::vector<uint8_t>{25, 50, 100, 255}));
  EXPECT_EQ(grab.at(5, 8)[0], 50) << "a transparent cursor pixel changed the picture";

  // Half outside on every side: only the visible part lands, nothing is written outside.
  std::vector<uint32_t> block(10 * 10, 0xFFFFFFFF);
  for (auto [x, y] : {std::pair{-5, -5}, std::pair{35, 25}, std::pair{-20, 3}, std::pair{100, 100}}) {
    Grab g(40, 30, 4);
    g.fill({0, 0, 40, 30}, 0);
    compositeCursor(g.bytes.data(), g.stride, 40, 30, {block.data(), 10, 10, x, y, 1});
    int lit = 0;
    for (int yy = 0; yy < 30; ++yy)
      for (int xx = 0; xx < 40; ++xx) lit += g.at(xx, yy)[0] == 255;
    const PixelRect visible{std::max(x, 0), std::max(y, 0), std::min(x + 10, 40) - std::max(x, 0),
                            std::min(y + 10, 30) - std::max(y, 0)};
    EXPECT_EQ(lit, visible.empty() ? 0 : visible.width * visible.height) << x << "," << y;
    for (int yy = 0; yy < 30; ++yy) EXPECT_EQ(g.at(40, yy)[0], 0xEE) << "wrote into the stride padding";
  }

  // Through the converter, scaled by one half: the pointer lands at half its position, half
  // its size, and the picture under it comes back once it moved away.
  Grab screen(200, 100);
  screen.fill({0, 0, 200, 100}, 0);
  PictureConverter c(100, 50, kPixelFormatBGRA, 1);
  const CursorView pointer{block.data(), 10, 10, 60, 40, 2};
  auto f = c.convert(screen.view(), {}, &pointer, 0);
  ASSERT_TRUE(f);
  EXPECT_EQ(bgraAt(*f, 32, 22)[0], 255);
  EXPECT_EQ(bgraAt(*f, 29, 22)[0], 0);
  EXPECT_EQ(bgraAt(*f, 35, 22)[0], 0);
  f.reset();
  f = c.convert(screen.view(), {}, nullptr, 1);
  EXPECT_EQ(bgraAt(*f, 32, 22)[0], 0) << "the old pointer stayed in the picture";
}

}  // namespace
}  // namespace qb::encode
