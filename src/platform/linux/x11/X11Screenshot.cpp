#include "platform/linux/x11/X11Screenshot.hpp"

#include <cstring>

#include "platform/linux/x11/X11CaptureTarget.hpp"
#include "platform/linux/x11/X11Connection.hpp"

namespace qb::x11 {

Result<Image> captureScreenshot(const ContentFilter& filter, bool withCursor, const std::string& displayName) {
  constexpr const char* kDomain = "ScreenCaptureErrorDomain";
  std::string why;
  auto connection = X11Connection::open(displayName, &why);
  if (!connection)
    return PlatformError{StreamErrorCode::kConnectionLost, kDomain, "The X server is not reachable: " + why};
  if (!X11Grabber::supportsFormat(*connection, &why)) return PlatformError{StreamErrorCode::kFailed, kDomain, why};
  std::optional<PlatformError> error;
  auto target = X11CaptureTarget::open(connection, filter, withCursor, &error);
  if (!target) return *error;
  std::vector<PixelRect> damage;
  const BgraView pixels = target->grab(damage, &why);
  if (!pixels.pixels) return PlatformError{StreamErrorCode::kFailed, kDomain, "The screen could not be read: " + why};
  Image image;
  image.width = pixels.width;
  image.height = pixels.height;
  image.stride = pixels.width * 4;
  image.bgra.resize(size_t(image.stride) * size_t(image.height));
  for (int y = 0; y < image.height; ++y) {
    auto* out = reinterpret_cast<uint32_t*>(image.bgra.data() + size_t(y) * size_t(image.stride));
    const auto* in = reinterpret_cast<const uint32_t*>(pixels.pixels + ptrdiff_t(y) * pixels.stride);
    for (int x = 0; x < image.width; ++x) out[x] = in[x] | 0xFF000000u;  // the X byte is not alpha
  }
  if (const CursorView* cursor = target->cursor())
    encode::compositeCursor(image.bgra.data(), image.stride, image.width, image.height, *cursor);
  return image;
}

}  // namespace qb::x11
