#pragma once
// Reading a PNG file into a BGRA picture (a screenshot the desktop portal wrote).

#include <string>

#include "platform/ScreenCaptureService.hpp"

namespace qb::encode {

// The picture in `path` as opaque BGRA, or why it could not be read (kFailed). Any thread.
Result<Image> readPngFile(const std::string& path);

}  // namespace qb::encode
