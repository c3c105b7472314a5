#pragma once
// H.264 through libx264, called directly. Main profile, real-time settings (tune zerolatency:
// no B-frames, no lookahead), an IDR at least every `fps` frames and on request, average bit
// rate as configured with a one-second VBV buffer. '420v' pictures are handed to libx264
// where they lie (it copies them in before encoding, and the picture goes back to its pool
// then); 'BGRA' pictures are converted first. The SPS says BT.601 video range, the matrix and
// range PictureConverter writes. Output comes length-prefixed from libx264 itself. Where a
// picture says what changed since the picture encoded just before it (VideoFrame::changes),
// libx264 is told which macroblocks stayed the same and skips them without analysis.
//
// H.264 4:2:0 has no odd sizes: an odd width or height is encoded one pixel smaller (the last
// column or row of the picture is left out).

#include <algorithm>
#include <cmath>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "platform/VideoEncoder.hpp"

namespace qb::encode {

// The libx264 speed preset. A comparison with another program's encoder gives it the same.
inline constexpr const char* kX264Preset = "veryfast";
// libx264 threads: sliced threads cost about a tenth more CPU than one thread (hand-offs and
// wake-ups on every frame), and one thread encodes 1080p30 in about 19 ms a frame on a small
// machine. So a stream gets one thread per this many pixels a second (width * height * fps),
// at least one and at most `cores`: 1080p30 one, 1080p60 or 1440p30 two.
inline constexpr double kX264PixelsPerSecondPerThread = 70e6;
inline int x264ThreadCount(const EncoderSettings& settings, int cores) {
  const double pixelsPerSecond = double(settings.width) * double(settings.height) * double(settings.fps);
  const int wanted = static_cast<int>(std::ceil(pixelsPerSecond / kX264PixelsPerSecondPerThread));
  return std::clamp(wanted, 1, std::max(1, cores));
}

// One libx264 option by the name its command line gives it, applied over the preset.
struct X264Option {
  std::string name;
  std::string value;
};

// What screen content is encoded with, over the preset and tune. Scrolled text moves further
// between two pictures than the preset's hexagon search reaches; the multi-hexagon search finds
// it and the cheapest subpixel refinement pays for that search (1080p10 terminal at 2 Mbit/s:
// SSIM 0.955 to 0.978 at 6% less encoder time; a scrolling document and a video no worse).
inline const std::vector<X264Option> kScreenContentOptions = {{"me", "umh"}, {"subme", "1"}};

// Opens libx264 for these settings and has it encode one black picture first (its output is
// dropped; the first picture given to the encoder comes out as an IDR). Called from the
// command thread. Returns the encoder, or -EINVAL when libx264 refuses the settings or an
// option and -EIO when it cannot encode with them. Without options: kScreenContentOptions.
std::variant<std::unique_ptr<VideoEncoder>, int32_t> openX264(const EncoderSettings& settings);
std::variant<std::unique_ptr<VideoEncoder>, int32_t> openX264(const EncoderSettings& settings,
                                                              std::span<const X264Option> options);

}  // namespace qb::encode
