#include "platform/linux/encode/PngFile.hpp"

#include <png.h>

namespace qb::encode {

Result<Image> readPngFile(const std::string& path) {
  auto failed = [&](const std::string& why) {
    return PlatformError{StreamErrorCode::kFailed, "ScreenCaptureErrorDomain", "Cannot read " + path + ": " + why};
  };
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&png, path.c_str())) return failed(png.message);
  png.format = PNG_FORMAT_BGRA;
  Image image;
  image.width = int(png.width);
  image.height = int(png.height);
  image.stride = int(PNG_IMAGE_ROW_STRIDE(png));
  image.bgra.resize(PNG_IMAGE_SIZE(png));
  if (!png_image_finish_read(&png, nullptr, image.bgra.data(), image.stride, nullptr)) {
    png_image_free(&png);
    return failed(png.message);
  }
  for (size_t i = 3; i < image.bgra.size(); i += 4) image.bgra[i] = 0xFF;  // a screen has no transparency
  return image;
}

}  // namespace qb::encode
