#pragma once
// A plain, whole-picture converter for the capture streams: grabbed BGRX pixels scaled
// (nearest pixel) into the configured size with the aspect ratio kept, centred on black, in
// '420v' (NV12, video range, BT.601) or 'BGRA', with the pointer drawn in. It has the shape
// of the optimised converter that replaces it; the damage it is given is ignored.
//
// Threads: one producer thread; the frames it returns may be kept and dropped anywhere.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/PicturePool.hpp"
#include "platform/ScreenCaptureService.hpp"

namespace qb::x11 {

struct PixelRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool empty() const { return width <= 0 || height <= 0; }
  bool operator==(const PixelRect&) const = default;
};

struct BgraView {
  const uint8_t* pixels = nullptr;
  int stride = 0;
  int width = 0;
  int height = 0;
};

// Premultiplied ARGB words as XFixes gives them, placed at pointer minus hotspot.
struct CursorView {
  const uint32_t* pixels = nullptr;
  int width = 0;
  int height = 0;
  int x = 0;
  int y = 0;
  uint64_t serial = 0;
};

// Draws the cursor over a BGRA picture at (cursor.x + offsetX, cursor.y + offsetY), clipped.
void drawCursor(uint8_t* bgra, int stride, int width, int height, const CursorView& cursor, int offsetX = 0,
                int offsetY = 0);

class FallbackConverter {
 public:
  FallbackConverter(int width, int height, uint32_t pixelFormat, int poolCapacity = PicturePool::kDefaultCapacity);

  static PixelRect fit(int sourceWidth, int sourceHeight, int width, int height);
  bool hasFreePicture() const { return pool_.hasFree(); }
  void invalidate() {}
  std::optional<VideoFrame> convert(const BgraView& source, std::span<const PixelRect> damage, const CursorView* cursor,
                                    double presentationTime);

  int width() const { return pool_.width(); }
  int height() const { return pool_.height(); }
  uint32_t pixelFormat() const { return pool_.pixelFormat(); }
  const PicturePool& pool() const { return pool_; }

 private:
  PicturePool pool_;
  std::vector<int> columns_;  // source column of each content column
  std::vector<uint8_t> row_;  // a source row with the cursor drawn in
};

}  // namespace qb::x11
