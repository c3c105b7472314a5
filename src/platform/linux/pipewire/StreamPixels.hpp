#pragma once
// Pure bookkeeping of a PipeWire screen-cast stream's pixels: where its kept copy of the
// picture is out of date (from the buffers' damage), and the pointer's image from cursor
// metadata. No PipeWire here, so the unit tests check it alone.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/linux/encode/PictureConverter.hpp"

namespace qb::pipewire {

using encode::PixelRect;

inline PixelRect intersect(const PixelRect& a, const PixelRect& b) {
  const int x0 = std::max(a.x, b.x), y0 = std::max(a.y, b.y);
  const int x1 = std::min(a.x + a.width, b.x + b.width), y1 = std::min(a.y + a.height, b.y + b.height);
  if (x1 <= x0 || y1 <= y0) return {};
  return {x0, y0, x1 - x0, y1 - y0};
}

// Changed areas of a picture of a known size, at most `limit` of them: beyond that they
// become the one area that holds them all, since copying a little more is cheaper than
// tracking many small pieces.
class DamageList {
 public:
  explicit DamageList(size_t limit = 16) : limit_(std::max<size_t>(limit, 1)) {}

  // `r` clipped to width x height; empty areas are dropped.
  void add(const PixelRect& r, int width, int height) {
    const PixelRect clipped = intersect(r, {0, 0, width, height});
    if (clipped.empty()) return;
    for (const auto& have : rects_)
      if (intersect(have, clipped) == clipped) return;  // already covered
    rects_.push_back(clipped);
    if (rects_.size() > limit_) {
      PixelRect all = rects_.front();
      for (const auto& x : rects_) {
        const int x1 = std::max(all.x + all.width, x.x + x.width), y1 = std::max(all.y + all.height, x.y + x.height);
        all.x = std::min(all.x, x.x);
        all.y = std::min(all.y, x.y);
        all.width = x1 - all.x;
        all.height = y1 - all.y;
      }
      rects_.assign(1, all);
    }
  }
  void addAll(int width, int height) {
    rects_.clear();
    add({0, 0, width, height}, width, height);
  }
  void clear() { rects_.clear(); }
  bool empty() const { return rects_.empty(); }
  const std::vector<PixelRect>& rects() const { return rects_; }

  // The parts inside `area`, in coordinates relative to its top-left corner.
  std::vector<PixelRect> within(const PixelRect& area) const {
    std::vector<PixelRect> out;
    for (const auto& r : rects_) {
      PixelRect x = intersect(r, area);
      if (x.empty()) continue;
      x.x -= area.x;
      x.y -= area.y;
      out.push_back(x);
    }
    return out;
  }

 private:
  size_t limit_;
  std::vector<PixelRect> rects_;
};

// Byte orders of a cursor bitmap's 32-bit pixels, in memory order.
enum class CursorBytes { bgra, rgba, argb, abgr };

// The bitmap as premultiplied ARGB words (what the converter draws), rows without padding.
// Portals send premultiplied pixels, as compositors draw them; they are taken as they are.
// Empty when the bitmap does not fit in `size` bytes.
inline std::vector<uint32_t> cursorWords(CursorBytes order, const uint8_t* pixels, size_t size, int width, int height,
                                         int stride) {
  if (width <= 0 || height <= 0 || stride < width * 4 || size < size_t(stride) * size_t(height - 1) + size_t(width) * 4)
    return {};
  std::vector<uint32_t> out(size_t(width) * size_t(height));
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = pixels + size_t(y) * size_t(stride);
    for (int x = 0; x < width; ++x) {
      const uint8_t* p = row + x * 4;
      uint32_t a = 0, r = 0, g = 0, b = 0;
      switch (order) {
        case CursorBytes::bgra:
          b = p[0], g = p[1], r = p[2], a = p[3];
          break;
        case CursorBytes::rgba:
          r = p[0], g = p[1], b = p[2], a = p[3];
          break;
        case CursorBytes::argb:
          a = p[0], r = p[1], g = p[2], b = p[3];
          break;
        case CursorBytes::abgr:
          a = p[0], b = p[1], g = p[2], r = p[3];
          break;
      }
      out[size_t(y) * size_t(width) + size_t(x)] = (a << 24) | (r << 16) | (g << 8) | b;
    }
  }
  return out;
}

}  // namespace qb::pipewire
