#include "platform/linux/encode/PngImageEncoder.hpp"

#include <libyuv/convert_from_argb.h>
#include <png.h>

#include <csetjmp>

namespace qb::encode {

namespace {

// Level 2 costs a third of level 6 on desktops for a few per cent more bytes.
constexpr int kCompressionLevel = 2;

struct Sink {
  std::vector<uint8_t>* out;
  bool failed = false;
};

// libpng reports errors by longjmp; nothing in here owns memory the jump would skip.
bool writePng(const Image& image, Sink& sink, uint8_t* rgbRow) {
  png_structp png = png_create_write_struct(
      PNG_LIBPNG_VER_STRING, nullptr, [](png_structp p, png_const_charp) { png_longjmp(p, 1); },
      [](png_structp, png_const_charp) {});  // silent: stderr is the host's channel
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(
      png, &sink,
      [](png_structp p, png_bytep data, png_size_t n) {
        auto* s = static_cast<Sink*>(png_get_io_ptr(p));
        try {
          s->out->insert(s->out->end(), data, data + n);
        } catch (...) {
          s->failed = true;
          png_error(p, "out of memory");
        }
      },
      nullptr);
  png_set_IHDR(png, info, uint32_t(image.width), uint32_t(image.height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, kCompressionLevel);
  png_set_filter(png, 0, PNG_FILTER_SUB | PNG_FILTER_UP);
  png_write_info(png, info);
  // Row by row, so the RGB copy is one row and not a second whole image.
  for (int y = 0; y < image.height; ++y) {
    libyuv::ARGBToRAW(image.bgra.data() + size_t(y) * size_t(image.stride), image.stride, rgbRow, image.width * 3,
                      image.width, 1);
    png_write_row(png, rgbRow);
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return !sink.failed;
}

}  // namespace

bool imageConsistent(const Image& image) {
  if (image.width <= 0 || image.height <= 0 || image.stride < 0) return false;
  const auto rowBytes = size_t(image.width) * 4;
  if (size_t(image.stride) < rowBytes || image.width > (1 << 24) || image.height > (1 << 24)) return false;
  return image.bgra.size() >= size_t(image.stride) * size_t(image.height - 1) + rowBytes;
}

std::optional<std::vector<uint8_t>> PngImageEncoder::encodePNG(const Image& image) {
  if (!imageConsistent(image)) return std::nullopt;
  std::vector<uint8_t> png;
  png.reserve(size_t(image.width) * size_t(image.height) / 4);  // a desktop compresses about tenfold
  std::vector<uint8_t> row(size_t(image.width) * 3);
  Sink sink{&png};
  if (!writePng(image, sink, row.data())) return std::nullopt;
  return png;
}

}  // namespace qb::encode
