#pragma once
// The pictures qb-test-window paints, shared with the tests that check captured frames.
//
// The counter code survives scaling and lossy video: 16 bits as an 8 x 4 grid of black and
// white cells filling the window, rows 0-1 the bits (most significant first, row-major) and
// rows 2-3 their complements. A frame caught half-way or blurred into grey fails the
// complement check instead of decoding as a wrong number.

#include <cstdint>
#include <optional>

namespace qb::testpictures {

// 0xRRGGBB.
inline constexpr uint32_t kBars[8] = {0xFFFFFF, 0xFFFF00, 0x00FFFF, 0x00FF00, 0xFF00FF, 0xFF0000, 0x0000FF, 0x000000};
inline constexpr uint32_t kQuadrants[4] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF};  // TL, TR, BL, BR
inline constexpr int kCheckerCell = 32;  // black and white squares, black at the top left

inline constexpr int kCodeColumns = 8;
inline constexpr int kCodeRows = 4;

inline bool codeCellIsWhite(uint16_t value, int column, int row) {
  const int bit = (row % 2) * kCodeColumns + column;
  const bool set = ((value >> (15 - bit)) & 1) != 0;
  return row < 2 ? set : !set;
}

// Cell (column, row) of a code drawn into width x height: [x0, x1) x [y0, y1).
struct CellBounds {
  int x0, y0, x1, y1;
};
inline CellBounds codeCell(int width, int height, int column, int row) {
  return {column * width / kCodeColumns, row * height / kCodeRows, (column + 1) * width / kCodeColumns,
          (row + 1) * height / kCodeRows};
}

// Reads the code from the region (x, y, width, height) of a picture; `luma(px, py)` gives
// a pixel's brightness (any range, e.g. video-range Y). Only the middle half of each cell is
// looked at, so the region may be off by a quarter of a cell. None when the region holds no
// clean code.
template <class Luma>
std::optional<uint16_t> decodeCounter(Luma&& luma, int x, int y, int width, int height) {
  if (width < kCodeColumns * 2 || height < kCodeRows * 2) return std::nullopt;
  double means[kCodeRows][kCodeColumns];
  double lo = 1e9, hi = -1e9;
  for (int r = 0; r < kCodeRows; ++r) {
    for (int c = 0; c < kCodeColumns; ++c) {
      const CellBounds b = codeCell(width, height, c, r);
      const int qx = (b.x1 - b.x0) / 4, qy = (b.y1 - b.y0) / 4;
      double sum = 0;
      int n = 0;
      for (int py = b.y0 + qy; py < b.y1 - qy; ++py) {
        for (int px = b.x0 + qx; px < b.x1 - qx; ++px) {
          sum += luma(x + px, y + py);
          ++n;
        }
      }
      means[r][c] = n ? sum / n : 0;
      if (means[r][c] < lo) lo = means[r][c];
      if (means[r][c] > hi) hi = means[r][c];
    }
  }
  // A value and its complement always hold both black and white cells, so the spread tells
  // a code from a flat picture.
  if (hi - lo < 64) return std::nullopt;
  const double threshold = (lo + hi) / 2, margin = (hi - lo) / 4;
  uint16_t value = 0;
  for (int r = 0; r < kCodeRows; ++r) {
    for (int c = 0; c < kCodeColumns; ++c) {
      const double m = means[r][c];
      if (m > threshold - margin && m < threshold + margin) return std::nullopt;
      const bool white = m >= threshold;
      if (r < 2) {
        if (white) value |= uint16_t(1u << (15 - (r * kCodeColumns + c)));
      } else if (white != codeCellIsWhite(value, c, r)) {
        return std::nullopt;
      }
    }
  }
  return value;
}

}  // namespace qb::testpictures
