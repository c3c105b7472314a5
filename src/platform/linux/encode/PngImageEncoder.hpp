#pragma once
// Screenshots as PNG through libpng (faster here than libspng at the same output): 8-bit RGB
// (the alpha of a screen grab is always opaque), a fast zlib level and the Sub/Up filters,
// which suit flat desktop areas and text and keep a 1920x1080 desktop well inside a tenth of
// a second.

#include <optional>
#include <vector>

#include "platform/VideoEncoder.hpp"

namespace qb::encode {

class PngImageEncoder final : public ImageEncoder {
 public:
  // None for an empty image, one whose stride or byte count does not hold its rows, or when
  // the library fails.
  std::optional<std::vector<uint8_t>> encodePNG(const Image& image) override;
};

// Whether an Image's fields describe pixels it actually holds.
bool imageConsistent(const Image& image);

}  // namespace qb::encode
