// PNG screenshots: what is written decodes back to the same pixels, and images whose fields
// do not describe their bytes are refused instead of read past their end.

#include "platform/linux/encode/PngImageEncoder.hpp"

#include <gtest/gtest.h>
#include <png.h>

#include <random>

namespace qb::encode {
namespace {

std::vector<uint8_t> decodeRgba(const std::vector<uint8_t>& png, uint32_t& width, uint32_t& height) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  EXPECT_TRUE(png_image_begin_read_from_memory(&image, png.data(), png.size()));
  image.format = PNG_FORMAT_RGBA;
  width = image.width, height = image.height;
  std::vector<uint8_t> out(PNG_IMAGE_SIZE(image));
  EXPECT_TRUE(png_image_finish_read(&image, nullptr, out.data(), 0, nullptr));
  return out;
}

TEST(PngImageEncoderTest, RoundTripKeepsEveryPixelAndIgnoresStridePadding) {
  std::mt19937 rng(1);
  Image image{37, 21, 37 * 4 + 12, {}};
  image.bgra.resize(size_t(image.stride) * 21);
  for (auto& b : image.bgra) b = uint8_t(rng());
  PngImageEncoder encoder;
  auto png = encoder.encodePNG(image);
  ASSERT_TRUE(png);
  const std::vector<uint8_t> signature = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  EXPECT_TRUE(std::equal(signature.begin(), signature.end(), png->begin()));
  uint32_t w = 0, h = 0;
  auto rgba = decodeRgba(*png, w, h);
  ASSERT_EQ(w, 37u);
  ASSERT_EQ(h, 21u);
  for (int y = 0; y < 21; ++y)
    for (int x = 0; x < 37; ++x) {
      const uint8_t* in = &image.bgra[size_t(y) * size_t(image.stride) + size_t(x) * 4];
      const uint8_t* out = &rgba[(size_t(y) * 37 + size_t(x)) * 4];
      ASSERT_EQ((std::array<int, 4>{out[0], out[1], out[2], out[3]}), (std::array<int, 4>{in[2], in[1], in[0], 255}))
          << x << "," << y;
    }
}

TEST(PngImageEncoderTest, InconsistentImagesAreRefused) {
  PngImageEncoder encoder;
  EXPECT_FALSE(encoder.encodePNG(Image{}));
  EXPECT_FALSE(encoder.encodePNG(Image{4, 4, 12, std::vector<uint8_t>(64)})) << "stride shorter than a row";
  EXPECT_FALSE(encoder.encodePNG(Image{4, 4, 16, std::vector<uint8_t>(63)})) << "bytes for fewer rows";
  EXPECT_FALSE(encoder.encodePNG(Image{-4, 4, 16, std::vector<uint8_t>(64)}));
  EXPECT_TRUE(encoder.encodePNG(Image{4, 4, 20, std::vector<uint8_t>(20 * 3 + 16)})) << "last row without padding";
}

}  // namespace
}  // namespace qb::encode
