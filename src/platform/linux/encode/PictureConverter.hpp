#pragma once
// Turns grabbed BGRA pixels into the pictures a capture stream delivers: scaled into the
// configured size with the aspect ratio kept and centred on black, in '420v' (NV12, video
// range, BT.601 matrix: what the encoder signals) or 'BGRA' (alpha 255), with the pointer's
// image composited on top. Only what changed is converted: the converter remembers, for each
// picture of its pool, which parts are older than the source, so a moving window or a
// blinking caret costs its own area and not the whole screen.
//
// Threads: one producer thread uses a converter; the frames it returns may be kept and
// dropped anywhere (VideoFrame).

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/PicturePool.hpp"
#include "platform/ScreenCaptureService.hpp"

namespace qb::encode {

struct PixelRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool empty() const { return width <= 0 || height <= 0; }
  bool operator==(const PixelRect&) const = default;
};

// Grabbed pixels in memory the caller owns: B, G, R and an ignored byte per pixel.
struct BgraView {
  const uint8_t* pixels = nullptr;
  int stride = 0;  // bytes from one row to the next
  int width = 0;
  int height = 0;
};

// The pointer's image as the X server gives it: premultiplied ARGB, one native-endian 32-bit
// word per pixel, rows without padding.
struct CursorView {
  const uint32_t* pixels = nullptr;
  int width = 0;
  int height = 0;
  int x = 0;  // where its top-left pixel lands in source coordinates: pointer minus hotspot
  int y = 0;
  uint64_t serial = 0;  // changes whenever the image does, so a scaled copy can be reused
};

// Draws the cursor over a BGRA picture at (cursor.x + offsetX, cursor.y + offsetY), clipped
// to the picture. Used for screenshots, which are neither scaled nor pooled.
void compositeCursor(uint8_t* bgra, int stride, int width, int height, const CursorView& cursor, int offsetX = 0,
                     int offsetY = 0);

class PictureConverter {
 public:
  // Pictures of width x height (at least 1 x 1) in '420v' or 'BGRA', from a pool of its own.
  PictureConverter(int width, int height, uint32_t pixelFormat, int poolCapacity = PicturePool::kDefaultCapacity);
  ~PictureConverter();
  PictureConverter(const PictureConverter&) = delete;
  PictureConverter& operator=(const PictureConverter&) = delete;

  // Where a source of that size lands in a picture of that size: the largest rectangle of the
  // source's aspect ratio, centred, on even coordinates (4:2:0 chroma covers 2 x 2 pixels).
  static PixelRect fit(int sourceWidth, int sourceHeight, int width, int height);

  // False while receivers hold every picture: skip the grab and keep its damage for later.
  bool hasFreePicture() const;

  // The next conversion converts the whole source (new target; the grab buffer was rebuilt).
  // A change of the source's size, stride or address does this by itself.
  void invalidate();
  // For a producer that hands each picture over in another of its buffers, each holding the
  // whole picture: a new address alone is then no new source, and only the damage is converted.
  void setSourceMoves(bool moves) { sourceMoves_ = moves; }

  // Converts `source` into a free picture of the pool and returns it, stamped with
  // presentationTime. `damage`: rectangles of `source` (source coordinates) that changed since
  // the previous call, whatever that call returned; the first call and any call after a
  // geometry change convert everything. `cursor` (may be null) is drawn scaled like the
  // source, clipped to the picture. Returns none when no picture is free (the damage is kept
  // for the next call) or the source is empty. The picture says where it differs from the
  // one returned before (VideoFrame::changes).
  std::optional<VideoFrame> convert(const BgraView& source, std::span<const PixelRect> damage, const CursorView* cursor,
                                    double presentationTime);

  int width() const { return pool_.width(); }
  int height() const { return pool_.height(); }
  uint32_t pixelFormat() const { return pool_.pixelFormat(); }
  const PicturePool& pool() const { return pool_; }
  // Where the current source lands in the picture (empty before the first conversion).
  PixelRect contentRect() const { return content_; }

 private:
  // Parts of the content rectangle (picture coordinates relative to it) that are out of date.
  struct Region {
    bool all = true;
    bool borders = true;  // the black around the content too (the content moved)
    std::vector<PixelRect> rects;
    void add(const PixelRect& r, const PixelRect& bounds);
    void setAll() {
      all = true;
      rects.clear();
    }
    void clear() {
      all = false;
      rects.clear();
    }
  };

  bool adoptGeometry(const BgraView& source);
  PixelRect toContent(const PixelRect& sourceRect) const;
  void updateScaled(const BgraView& source);
  void convertRect(const uint8_t* from, int fromStride, const PixelRect& r, VideoFrame& picture) const;
  void fillBorders(VideoFrame& picture) const;
  PixelRect drawCursor(const CursorView& cursor, const uint8_t* base, int baseStride, VideoFrame& picture);

  PicturePool pool_;
  std::vector<Region> slots_;  // by pool slot
  BgraView last_;              // geometry of the previous source
  PixelRect content_;
  bool scaling_ = false;
  std::vector<uint8_t> scaled_;  // the source scaled to the content size, when scaling
  Region scaledPending_;
  std::vector<uint8_t> cursorPatch_;    // BGRA under and with the cursor
  std::vector<uint32_t> scaledCursor_;  // the cursor at the content's scale
  uint64_t scaledCursorSerial_ = 0;
  int scaledCursorWidth_ = 0;
  int scaledCursorHeight_ = 0;
  bool sourceMoves_ = false;
  uint64_t lastSerial_ = 0;  // of the picture made last
  PixelRect lastCursor_;     // where that picture shows the cursor (picture coordinates)
};

}  // namespace qb::encode
