#include "platform/linux/x11/FallbackConverter.hpp"

#include <algorithm>
#include <cstring>

namespace qb::x11 {

namespace {

inline uint8_t lumaOf(int r, int g, int b) {
  return static_cast<uint8_t>(16 + ((66 * r + 129 * g + 25 * b + 128) >> 8));
}
inline uint8_t cbOf(int r, int g, int b) {
  return static_cast<uint8_t>(128 + ((-38 * r - 74 * g + 112 * b + 128) >> 8));
}
inline uint8_t crOf(int r, int g, int b) {
  return static_cast<uint8_t>(128 + ((112 * r - 94 * g - 18 * b + 128) >> 8));
}

}  // namespace

void drawCursor(uint8_t* bgra, int stride, int width, int height, const CursorView& cursor, int offsetX, int offsetY) {
  if (!cursor.pixels) return;
  for (int cy = 0; cy < cursor.height; ++cy) {
    const int y = cursor.y + offsetY + cy;
    if (y < 0 || y >= height) continue;
    for (int cx = 0; cx < cursor.width; ++cx) {
      const int x = cursor.x + offsetX + cx;
      if (x < 0 || x >= width) continue;
      const uint32_t argb = cursor.pixels[size_t(cy) * size_t(cursor.width) + size_t(cx)];
      const uint32_t a = argb >> 24;
      if (a == 0) continue;
      uint8_t* p = bgra + ptrdiff_t(y) * stride + ptrdiff_t(x) * 4;
      // Premultiplied: out = src + dst * (1 - a).
      const uint32_t keep = 255 - a;
      auto over = [keep](uint32_t src, uint8_t dst) {
        return static_cast<uint8_t>(std::min<uint32_t>(255, src + (dst * keep + 127) / 255));
      };
      p[0] = over(argb & 0xFF, p[0]);
      p[1] = over((argb >> 8) & 0xFF, p[1]);
      p[2] = over((argb >> 16) & 0xFF, p[2]);
    }
  }
}

FallbackConverter::FallbackConverter(int width, int height, uint32_t pixelFormat, int poolCapacity)
    : pool_(width, height, pixelFormat, poolCapacity) {}

PixelRect FallbackConverter::fit(int sourceWidth, int sourceHeight, int width, int height) {
  if (sourceWidth <= 0 || sourceHeight <= 0 || width <= 0 || height <= 0) return {};
  int w = width, h = int(int64_t(sourceHeight) * width / sourceWidth);
  if (h > height) {
    h = height;
    w = int(int64_t(sourceWidth) * height / sourceHeight);
  }
  w = std::max(2, w & ~1);
  h = std::max(2, h & ~1);
  w = std::min(w, width);
  h = std::min(h, height);
  return PixelRect{((width - w) / 2) & ~1, ((height - h) / 2) & ~1, w, h};
}

std::optional<VideoFrame> FallbackConverter::convert(const BgraView& source, std::span<const PixelRect>,
                                                     const CursorView* cursor, double presentationTime) {
  if (!source.pixels || source.width <= 0 || source.height <= 0) return std::nullopt;
  auto picture = pool_.acquire();
  if (!picture) return std::nullopt;
  VideoFrame frame = std::move(picture->frame);
  frame.presentationTime = presentationTime;
  const PixelRect content = fit(source.width, source.height, frame.width, frame.height);
  columns_.resize(size_t(content.width));
  for (int x = 0; x < content.width; ++x)
    columns_[size_t(x)] = std::min(source.width - 1, int(int64_t(x) * source.width / content.width));
  row_.resize(size_t(source.width) * 4);

  // The source row for picture row y, with the cursor drawn into a copy where it crosses it.
  auto sourceRow = [&](int y) -> const uint8_t* {
    const int sy = std::min(source.height - 1, int(int64_t(y - content.y) * source.height / content.height));
    const uint8_t* row = source.pixels + ptrdiff_t(sy) * source.stride;
    if (!cursor || !cursor->pixels || sy < cursor->y || sy >= cursor->y + cursor->height) return row;
    std::memcpy(row_.data(), row, row_.size());
    CursorView line = *cursor;
    line.pixels = cursor->pixels + size_t(sy - cursor->y) * size_t(cursor->width);
    line.height = 1;
    line.y = 0;
    drawCursor(row_.data(), source.width * 4, source.width, 1, line);
    return row_.data();
  };
  auto inside = [&](int y) { return y >= content.y && y < content.y + content.height; };

  if (frame.pixelFormat == kPixelFormatBGRA) {
    for (int y = 0; y < frame.height; ++y) {
      auto* out = reinterpret_cast<uint32_t*>(frame.planes[0] + ptrdiff_t(y) * frame.strides[0]);
      if (!inside(y)) {
        std::fill(out, out + frame.width, 0xFF000000u);
        continue;
      }
      const auto* in = reinterpret_cast<const uint32_t*>(sourceRow(y));
      std::fill(out, out + content.x, 0xFF000000u);
      for (int x = 0; x < content.width; ++x) out[content.x + x] = in[columns_[size_t(x)]] | 0xFF000000u;
      std::fill(out + content.x + content.width, out + frame.width, 0xFF000000u);
    }
    return frame;
  }

  for (int y = 0; y < frame.height; ++y) {
    uint8_t* luma = frame.planes[0] + ptrdiff_t(y) * frame.strides[0];
    uint8_t* chroma = frame.planes[1] + ptrdiff_t(y / 2) * frame.strides[1];
    const bool chromaRow = (y & 1) == 0;
    if (!inside(y)) {
      std::memset(luma, 16, size_t(frame.width));
      if (chromaRow) std::memset(chroma, 128, size_t(frame.planeRowBytes(1)));
      continue;
    }
    const uint8_t* in = sourceRow(y);
    std::memset(luma, 16, size_t(content.x));
    std::memset(luma + content.x + content.width, 16, size_t(frame.width - content.x - content.width));
    if (chromaRow) {
      std::memset(chroma, 128, size_t(content.x));
      std::memset(chroma + content.x + content.width, 128, size_t(frame.planeRowBytes(1) - content.x - content.width));
    }
    for (int x = 0; x < content.width; ++x) {
      const uint8_t* p = in + ptrdiff_t(columns_[size_t(x)]) * 4;
      const int b = p[0], g = p[1], r = p[2];
      luma[content.x + x] = lumaOf(r, g, b);
      if (chromaRow && (x & 1) == 0) {
        chroma[content.x + x] = cbOf(r, g, b);
        chroma[content.x + x + 1] = crOf(r, g, b);
      }
    }
  }
  return frame;
}

}  // namespace qb::x11
