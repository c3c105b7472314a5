#include "platform/linux/encode/PictureConverter.hpp"

#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

namespace qb::encode {

namespace {

// Past this many rectangles a region keeps their bounding box instead.
constexpr size_t kMaxRects = 16;
// Above this share of the content a region converts everything in one go.
constexpr double kAllShare = 0.5;
// Bilinear scaling reads a pixel's neighbours: a changed source pixel moves its
// destination neighbours too.
constexpr int kScaleMargin = 2;

constexpr uint8_t kBlackY = 16;
constexpr uint8_t kBlackCbCr = 128;

PixelRect intersect(const PixelRect& a, const PixelRect& b) {
  const int x0 = std::max(a.x, b.x), y0 = std::max(a.y, b.y);
  const int x1 = std::min(a.x + a.width, b.x + b.width), y1 = std::min(a.y + a.height, b.y + b.height);
  if (x1 <= x0 || y1 <= y0) return {};
  return {x0, y0, x1 - x0, y1 - y0};
}

// Grows a rectangle to even coordinates so that it covers whole 2 x 2 chroma blocks, then
// clips it to the bounds (whose origin is 0, 0).
PixelRect evenAligned(const PixelRect& r, const PixelRect& bounds) {
  const int x0 = r.x & ~1, y0 = r.y & ~1;
  const int x1 = (r.x + r.width + 1) & ~1, y1 = (r.y + r.height + 1) & ~1;
  return intersect({x0, y0, x1 - x0, y1 - y0}, bounds);
}

uint8_t div255(unsigned v) { return static_cast<uint8_t>((v + 128 + ((v + 128) >> 8)) >> 8); }

void copyOpaque(const uint8_t* src, uint8_t* dst, int pixels) {
  for (int i = 0; i < pixels; ++i) {
    uint32_t p;
    std::memcpy(&p, src + 4 * i, 4);
    p |= 0xFF000000u;
    std::memcpy(dst + 4 * i, &p, 4);
  }
}

uint64_t nextPictureSerial() {
  static std::atomic<uint64_t> last{0};
  return ++last;
}

}  // namespace

void compositeCursor(uint8_t* bgra, int stride, int width, int height, const CursorView& cursor, int offsetX,
                     int offsetY) {
  if (!cursor.pixels) return;
  const PixelRect at{cursor.x + offsetX, cursor.y + offsetY, cursor.width, cursor.height};
  const PixelRect visible = intersect(at, {0, 0, width, height});
  for (int y = visible.y; y < visible.y + visible.height; ++y) {
    const uint32_t* row = cursor.pixels + static_cast<ptrdiff_t>(y - at.y) * cursor.width;
    uint8_t* out = bgra + static_cast<ptrdiff_t>(y) * stride;
    for (int x = visible.x; x < visible.x + visible.width; ++x) {
      const uint32_t c = row[x - at.x];
      const unsigned alpha = c >> 24;
      if (alpha == 0) continue;
      uint8_t* px = out + 4 * x;
      for (int ch = 0; ch < 3; ++ch) {
        const unsigned over = (c >> (8 * ch)) & 0xFF;  // premultiplied
        px[ch] = static_cast<uint8_t>(std::min(255u, over + div255(px[ch] * (255 - alpha))));
      }
      px[3] = 0xFF;
    }
  }
}

void PictureConverter::Region::add(const PixelRect& r, const PixelRect& bounds) {
  if (all || r.empty()) return;
  rects.push_back(r);
  if (rects.size() > kMaxRects) {
    int x0 = r.x, y0 = r.y, x1 = r.x + r.width, y1 = r.y + r.height;
    for (const auto& q : rects) {
      x0 = std::min(x0, q.x), y0 = std::min(y0, q.y);
      x1 = std::max(x1, q.x + q.width), y1 = std::max(y1, q.y + q.height);
    }
    rects = {{x0, y0, x1 - x0, y1 - y0}};
  }
  double area = 0;
  for (const auto& q : rects) area += double(q.width) * q.height;
  if (area > kAllShare * double(bounds.width) * bounds.height) setAll();
}

PictureConverter::PictureConverter(int width, int height, uint32_t pixelFormat, int poolCapacity)
    : pool_(width, height, pixelFormat, poolCapacity), slots_(static_cast<size_t>(pool_.capacity())) {}

PictureConverter::~PictureConverter() = default;

PixelRect PictureConverter::fit(int sourceWidth, int sourceHeight, int width, int height) {
  if (sourceWidth <= 0 || sourceHeight <= 0 || width <= 0 || height <= 0) return {};
  const double scale = std::min(double(width) / sourceWidth, double(height) / sourceHeight);
  int w = std::clamp(static_cast<int>(std::lround(sourceWidth * scale)), 1, width);
  int h = std::clamp(static_cast<int>(std::lround(sourceHeight * scale)), 1, height);
  // A letterboxed side starts and ends on even pixels; a full side may be odd.
  if (w < width && w > 1) w &= ~1;
  if (h < height && h > 1) h &= ~1;
  return {((width - w) / 2) & ~1, ((height - h) / 2) & ~1, w, h};
}

bool PictureConverter::hasFreePicture() const { return pool_.hasFree(); }

void PictureConverter::invalidate() { last_ = {}; }

bool PictureConverter::adoptGeometry(const BgraView& source) {
  if ((source.pixels == last_.pixels || (sourceMoves_ && last_.pixels)) && source.stride == last_.stride &&
      source.width == last_.width && source.height == last_.height) {
    last_.pixels = source.pixels;
    return false;
  }
  const PixelRect old = content_;
  last_ = source;
  content_ = fit(source.width, source.height, pool_.width(), pool_.height());
  scaling_ = content_.width != source.width || content_.height != source.height;
  if (scaling_) scaled_.resize(size_t(content_.width) * size_t(content_.height) * 4);
  scaledPending_.setAll();
  for (auto& slot : slots_) {
    slot.setAll();
    if (!(content_ == old)) slot.borders = true;
  }
  return true;
}

PixelRect PictureConverter::toContent(const PixelRect& sourceRect) const {
  const PixelRect bounds{0, 0, content_.width, content_.height};
  const PixelRect r = intersect(sourceRect, {0, 0, last_.width, last_.height});
  if (r.empty()) return {};
  if (!scaling_) return evenAligned(r, bounds);
  const int64_t sw = last_.width, sh = last_.height, cw = content_.width, ch = content_.height;
  const int x0 = static_cast<int>(r.x * cw / sw) - kScaleMargin;
  const int y0 = static_cast<int>(r.y * ch / sh) - kScaleMargin;
  const int x1 = static_cast<int>(((r.x + r.width) * cw + sw - 1) / sw) + kScaleMargin;
  const int y1 = static_cast<int>(((r.y + r.height) * ch + sh - 1) / sh) + kScaleMargin;
  return evenAligned({x0, y0, x1 - x0, y1 - y0}, bounds);
}

void PictureConverter::updateScaled(const BgraView& source) {
  const int stride = content_.width * 4;
  if (scaledPending_.all) {
    libyuv::ARGBScale(source.pixels, source.stride, source.width, source.height, scaled_.data(), stride, content_.width,
                      content_.height, libyuv::kFilterBilinear);
  } else {
    for (const auto& r : scaledPending_.rects)
      libyuv::ARGBScaleClip(source.pixels, source.stride, source.width, source.height, scaled_.data(), stride,
                            content_.width, content_.height, r.x, r.y, r.width, r.height, libyuv::kFilterBilinear);
  }
  scaledPending_.clear();
}

void PictureConverter::convertRect(const uint8_t* src, int srcStride, const PixelRect& r, VideoFrame& picture) const {
  const int px = content_.x + r.x, py = content_.y + r.y;
  if (picture.pixelFormat == kPixelFormat420v) {
    uint8_t* y = picture.planes[0] + static_cast<ptrdiff_t>(py) * picture.strides[0] + px;
    uint8_t* uv = picture.planes[1] + static_cast<ptrdiff_t>(py / 2) * picture.strides[1] + px / 2 * 2;
    libyuv::ARGBToNV12(src, srcStride, y, picture.strides[0], uv, picture.strides[1], r.width, r.height);
    return;
  }
  for (int row = 0; row < r.height; ++row)
    copyOpaque(src + static_cast<ptrdiff_t>(row) * srcStride,
               picture.planes[0] + static_cast<ptrdiff_t>(py + row) * picture.strides[0] + 4 * px, r.width);
}

void PictureConverter::fillBorders(VideoFrame& picture) const {
  const PixelRect c = content_;
  const bool nv12 = picture.pixelFormat == kPixelFormat420v;
  // Fills rows [y0, y1) of a plane outside columns [x0, x1) (all columns when x0 == x1).
  auto fill = [&](int plane, int bytesPerPixel, int y0, int y1, int x0, int x1, const auto& paint) {
    const int rowPixels = picture.planeRowBytes(plane) / bytesPerPixel;
    for (int y = y0; y < y1; ++y) {
      uint8_t* row = picture.planes[plane] + static_cast<ptrdiff_t>(y) * picture.strides[plane];
      if (x0 == x1) {
        paint(row, rowPixels);
        continue;
      }
      paint(row, x0);
      paint(row + x1 * bytesPerPixel, rowPixels - x1);
    }
  };
  auto frame = [&](int plane, int bytesPerPixel, int divisor, const auto& paint) {
    const int top = c.y / divisor, bottom = (c.y + c.height + divisor - 1) / divisor;
    const int left = c.x / divisor, right = (c.x + c.width + divisor - 1) / divisor;
    fill(plane, bytesPerPixel, 0, top, 0, 0, paint);
    fill(plane, bytesPerPixel, top, bottom, left, right, paint);
    fill(plane, bytesPerPixel, bottom, picture.planeHeight(plane), 0, 0, paint);
  };
  if (nv12) {
    frame(0, 1, 1, [](uint8_t* p, int n) { std::memset(p, kBlackY, size_t(std::max(n, 0))); });
    frame(1, 2, 2, [](uint8_t* p, int n) { std::memset(p, kBlackCbCr, size_t(std::max(n, 0)) * 2); });
  } else {
    frame(0, 4, 1, [](uint8_t* p, int n) {
      for (int i = 0; i < n; ++i) {
        p[4 * i] = p[4 * i + 1] = p[4 * i + 2] = 0;
        p[4 * i + 3] = 0xFF;
      }
    });
  }
}

PixelRect PictureConverter::drawCursor(const CursorView& cursor, const uint8_t* base, int baseStride,
                                       VideoFrame& picture) {
  if (!cursor.pixels || cursor.width <= 0 || cursor.height <= 0) return {};
  CursorView drawn = cursor;
  if (scaling_) {
    const double sx = double(content_.width) / last_.width, sy = double(content_.height) / last_.height;
    drawn.x = static_cast<int>(std::floor(cursor.x * sx));
    drawn.y = static_cast<int>(std::floor(cursor.y * sy));
    drawn.width = std::max(1, static_cast<int>(std::lround(cursor.width * sx)));
    drawn.height = std::max(1, static_cast<int>(std::lround(cursor.height * sy)));
    if (cursor.serial != scaledCursorSerial_ || drawn.width != scaledCursorWidth_ ||
        drawn.height != scaledCursorHeight_ || scaledCursor_.empty()) {
      scaledCursor_.resize(size_t(drawn.width) * size_t(drawn.height));
      libyuv::ARGBScale(reinterpret_cast<const uint8_t*>(cursor.pixels), cursor.width * 4, cursor.width, cursor.height,
                        reinterpret_cast<uint8_t*>(scaledCursor_.data()), drawn.width * 4, drawn.width, drawn.height,
                        libyuv::kFilterBilinear);
      scaledCursorSerial_ = cursor.serial;
      scaledCursorWidth_ = drawn.width;
      scaledCursorHeight_ = drawn.height;
    }
    drawn.pixels = scaledCursor_.data();
  }
  const PixelRect bounds{0, 0, content_.width, content_.height};
  const PixelRect covered = intersect({drawn.x, drawn.y, drawn.width, drawn.height}, bounds);
  if (covered.empty()) return {};
  const PixelRect patch = evenAligned(covered, bounds);
  const int patchStride = patch.width * 4;
  cursorPatch_.resize(size_t(patchStride) * size_t(patch.height));
  for (int row = 0; row < patch.height; ++row)
    std::memcpy(cursorPatch_.data() + static_cast<ptrdiff_t>(row) * patchStride,
                base + static_cast<ptrdiff_t>(patch.y + row) * baseStride + 4 * patch.x, size_t(patchStride));
  compositeCursor(cursorPatch_.data(), patchStride, patch.width, patch.height, drawn, -patch.x, -patch.y);
  convertRect(cursorPatch_.data(), patchStride, patch, picture);
  return patch;
}

std::optional<VideoFrame> PictureConverter::convert(const BgraView& source, std::span<const PixelRect> damage,
                                                    const CursorView* cursor, double presentationTime) {
  if (!source.pixels || source.width <= 0 || source.height <= 0 || source.stride < source.width * 4)
    return std::nullopt;
  if (!adoptGeometry(source)) {
    const PixelRect bounds{0, 0, content_.width, content_.height};
    for (const auto& d : damage) {
      const PixelRect r = toContent(d);
      if (r.empty()) continue;
      if (scaling_) scaledPending_.add(r, bounds);
      for (auto& slot : slots_) slot.add(r, bounds);
    }
  }
  auto picture = pool_.acquire();
  if (!picture) return std::nullopt;
  if (scaling_) updateScaled(source);
  const uint8_t* base = scaling_ ? scaled_.data() : source.pixels;
  const int baseStride = scaling_ ? content_.width * 4 : source.stride;
  auto at = [&](const PixelRect& r) { return base + static_cast<ptrdiff_t>(r.y) * baseStride + 4 * r.x; };

  VideoFrame& frame = picture->frame;
  Region& stale = slots_[static_cast<size_t>(picture->slot)];
  // The picture this converter made before differs from this one only where this one is
  // rewritten now, and where either of them shows the cursor.
  frame.changeCount = 0;
  frame.changedSince = stale.all || stale.borders ? 0 : lastSerial_;
  auto changed = [&](const PixelRect& r) {
    if (r.empty()) return;
    if (frame.changeCount == VideoFrame::kMaxChanges) frame.changedSince = 0;  // cannot name them all
    if (frame.changeCount < VideoFrame::kMaxChanges)
      frame.changes[static_cast<size_t>(frame.changeCount++)] = {r.x, r.y, r.width, r.height};
  };
  auto inPicture = [&](const PixelRect& r) { return PixelRect{r.x + content_.x, r.y + content_.y, r.width, r.height}; };
  if (stale.borders) fillBorders(frame);
  if (stale.all) {
    const PixelRect whole{0, 0, content_.width, content_.height};
    convertRect(at(whole), baseStride, whole, frame);
  } else {
    for (const auto& r : stale.rects) {
      convertRect(at(r), baseStride, r, frame);
      changed(inPicture(r));
    }
  }
  stale.clear();
  stale.borders = false;
  // The cursor is not part of the source: the next use of this picture restores what it hid.
  const PixelRect cursorPatch = cursor ? drawCursor(*cursor, base, baseStride, frame) : PixelRect{};
  stale.add(cursorPatch, {0, 0, content_.width, content_.height});
  changed(lastCursor_);
  lastCursor_ = cursorPatch.empty() ? PixelRect{} : inPicture(cursorPatch);
  changed(lastCursor_);
  frame.serial = nextPictureSerial();
  lastSerial_ = frame.serial;
  frame.presentationTime = presentationTime;
  return std::move(frame);
}

}  // namespace qb::encode
