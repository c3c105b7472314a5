#pragma once
// H.264 on libavcodec: a hardware encoder where the machine has one that works (VAAPI on a
// render node, NVENC), else libx264. Main profile, real-time settings: no B-frames, no
// lookahead, an IDR at least every `fps` frames and on request, average bit rate as configured
// with a one-second VBV buffer. Pictures are encoded from the pool's memory without a copy
// ('420v'); 'BGRA' pictures are converted first. The SPS says BT.601 video range, the matrix
// and range PictureConverter writes.
//
// H.264 4:2:0 has no odd sizes: an odd width or height is encoded one pixel smaller (the last
// column or row of the picture is left out).

#include <memory>
#include <mutex>
#include <string>
#include <variant>

#include "platform/Platform.hpp"
#include "platform/VideoEncoder.hpp"

namespace qb::encode {

// The libx264 speed preset. A comparison with another program's encoder gives it the same.
inline constexpr const char* kX264Preset = "veryfast";
// libx264 threads: sliced threads cost about a tenth more CPU than one thread (hand-offs and
// wake-ups on every frame), and one thread encodes 1080p30 in about 19 ms a frame on a small
// machine. So a stream gets one thread per this many pixels a second (width * height * fps),
// at least one and at most `cores`: 1080p30 one, 1080p60 or 1440p30 two.
inline constexpr double kX264PixelsPerSecondPerThread = 70e6;
int x264ThreadCount(const EncoderSettings& settings, int cores);

class LibavVideoEncoderFactory final : public VideoEncoderFactory {
 public:
  struct Options {
    bool tryHardware = true;  // false: libx264 only (tests that need one known encoder)
  };

  explicit LibavVideoEncoderFactory(LogFunction log, Options options);
  explicit LibavVideoEncoderFactory(LogFunction log) : LibavVideoEncoderFactory(std::move(log), Options{}) {}

  // Tries each candidate on a black picture of the configured size and keeps the first that
  // encodes it. Logs the choice the first time and whenever it changes. Negative status
  // (an AVERROR code) when the settings are unusable or no candidate works.
  std::variant<std::unique_ptr<VideoEncoder>, int32_t> create(const EncoderSettings& settings) override;

  // The name of the codec the last successful create() chose ("libx264", "h264_vaapi", ...).
  std::string lastChoice() const;

 private:
  LogFunction log_;
  Options options_;
  mutable std::mutex mutex_;
  std::string lastChoice_;
};

}  // namespace qb::encode
