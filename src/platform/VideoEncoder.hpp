#pragma once
// H.264 encoding with the output in length-prefixed (4-byte big-endian) NAL form, the
// parameter sets (0: SPS, 1: PPS) available on keyframes.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/PlatformError.hpp"
#include "platform/ScreenCaptureService.hpp"

namespace qb {

struct EncodedFrame {
  std::vector<uint8_t> lengthPrefixedNALs;
  bool notSync = false;  // true for frames that are not keyframes
  // Parameter sets by index (0 SPS, 1 PPS), raw NAL units without start code.
  std::vector<std::vector<uint8_t>> parameterSets;
  double presentationTime = 0;
};

struct EncoderSettings {
  int width = 1920;
  int height = 1080;
  int fps = 10;
  int64_t bitrate = 2000000;
};

// Output callbacks run on the encoder's own thread, in submission order.
class VideoEncoder {
 public:
  virtual ~VideoEncoder() = default;
  virtual void encode(const VideoFrame& frame, bool forceKeyframe,
                      std::function<void(std::optional<PlatformError>, const EncodedFrame*)> output) = 0;
  // Waits until every submitted frame has been output.
  virtual void completeFrames() = 0;
  virtual void invalidate() = 0;
};

class VideoEncoderFactory {
 public:
  virtual ~VideoEncoderFactory() = default;
  // Returns the encoder or a numeric status on failure.
  virtual std::variant<std::unique_ptr<VideoEncoder>, int32_t> create(const EncoderSettings& settings) = 0;
};

class ImageEncoder {
 public:
  virtual ~ImageEncoder() = default;
  // PNG bytes, or none when encoding failed.
  virtual std::optional<std::vector<uint8_t>> encodePNG(const Image& image) = 0;
};

}  // namespace qb
