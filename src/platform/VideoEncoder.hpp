#pragma once
// H.264 encoding with the output in length-prefixed (4-byte big-endian) NAL form, the
// parameter sets (0: SPS, 1: PPS) available on keyframes.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
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

// Appends one unit in the form of lengthPrefixedNALs: a 4-byte big-endian length, then the unit.
inline void appendLengthPrefixed(std::vector<uint8_t>& out, std::span<const uint8_t> nal) {
  const auto n = static_cast<uint32_t>(nal.size());
  const uint8_t prefix[4] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
  out.insert(out.end(), prefix, prefix + 4);
  out.insert(out.end(), nal.begin(), nal.end());
}

struct EncoderSettings {
  int width = 1920;
  int height = 1080;
  int fps = 10;
  int64_t bitrate = 2000000;
};

// Threads: encode, completeFrames and invalidate are called by one thread at a time (the
// video source's capture queue while it runs, its command thread to stop it). Output
// callbacks run on the encoder's own thread, one at a time, in submission order, never inside
// encode().
class VideoEncoder {
 public:
  using Output = std::function<void(std::optional<PlatformError>, const EncodedFrame*)>;

  // Destroying the encoder invalidates it first and waits for a running output callback;
  // never destroy it from one.
  virtual ~VideoEncoder() = default;
  // Queues one picture. The encoder keeps a copy of `frame` (and so the pool's picture) until
  // it has read the pixels, and no longer. With forceKeyframe the frame comes out as an IDR
  // with the parameter sets. `output` is called exactly once for the frame, unless the encoder
  // is invalidated first: with the encoded frame (valid during the call), or with an error and
  // no frame when this frame failed, after which later frames are still encoded.
  virtual void encode(const VideoFrame& frame, bool forceKeyframe, Output output) = 0;
  // Returns once every frame submitted before the call has had its output called (an encoder
  // that holds frames back is drained; its next frame then starts afresh with an IDR). Never
  // call it from an output callback. Returns at once after invalidate.
  virtual void completeFrames() = 0;
  // Ends the encoder: frames still in it are dropped without their output being called, and
  // later encode calls are ignored. No output callback starts after it returns; one already
  // running may still finish. May be called from an output callback.
  virtual void invalidate() = 0;
};

class VideoEncoderFactory {
 public:
  virtual ~VideoEncoderFactory() = default;
  // Opens an encoder for these settings (which may take a moment: a real encoder proves
  // itself on a first picture). Called from the command thread. Returns the encoder, or a
  // negative status when no encoder works with these settings.
  virtual std::variant<std::unique_ptr<VideoEncoder>, int32_t> create(const EncoderSettings& settings) = 0;
};

class ImageEncoder {
 public:
  virtual ~ImageEncoder() = default;
  // PNG bytes, or none when encoding failed (an empty or inconsistent image among them):
  // the caller reports the screenshot as failed. Thread-safe; runs on the calling thread.
  virtual std::optional<std::vector<uint8_t>> encodePNG(const Image& image) = 0;
};

}  // namespace qb
