#pragma once
// A PipeWire video stream from a screen-cast node (what the desktop portal hands out),
// turned into the pictures a capture stream delivers.
//
// Negotiates raw video in shared memory, BGRx, BGRA, RGBx or RGBA at whatever size the node
// gives, with the header, crop, damage and cursor metadata. The newest buffer is kept until a
// newer one comes (one of the producer's buffers, so the desktop never waits for a slow
// encoder: the picture is converted out of it at once or at the end of the frame interval);
// RGBx and RGBA are copied into B, G, R order instead. Pages read of a buffer are given back
// with it. Pictures follow the buffers, paced by FramePacer as on X11: never two closer than
// the minimum frame interval, a change inside it taken at its end. They are converted by the
// same PictureConverter, scaled into the configured size with the aspect ratio kept, only the
// damaged areas again; a buffer without damage metadata changed everywhere. Where the portal
// sends the cursor as metadata, the converter draws it in.
//
// Threads: the stream has its own PipeWire loop thread; pictures and the end are reported
// there. The end is reported once: the node went away or failed (-3815) or the connection
// to PipeWire was lost (-3821). Destroy the stream from any other thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/ScreenCaptureService.hpp"
#include "platform/linux/UniqueFd.hpp"

namespace qb {
class Clock;
}

namespace qb::pipewire {

class PipeWireVideoStream {
 public:
  struct Config {
    int width = 1920;  // of the pictures delivered
    int height = 1080;
    uint32_t pixelFormat = kPixelFormatBGRA;
    double minimumInterval = 0;  // seconds; 0: as the buffers come
    int pictures = 2;            // picture memory: the encoder reads one while the next is filled
  };
  struct Handler {
    std::function<void(const VideoFrame&)> picture;
    std::function<void(int64_t code, const std::string& why)> ended;
  };
  struct Stats {
    int buffers = 0;   // with pixels
    int pictures = 0;  // delivered
    int skipped = 0;   // due while every picture was held
    int width = 0;     // of the node's buffers
    int height = 0;
    std::string format;   // "BGRx" ...
    bool damage = false;  // the node sends damage metadata
    bool cursor = false;  // the node sends the cursor as metadata
  };

  // Connects through `pipewire` (the portal's connection) to node `nodeId` and waits, at most
  // `timeout` seconds, until it streams. Null with the reason in `why` when it does not.
  static std::unique_ptr<PipeWireVideoStream> open(UniqueFd pipewire, uint32_t nodeId, const Config& config,
                                                   Handler handler, const Clock& clock, double timeout,
                                                   std::string* why);
  ~PipeWireVideoStream();
  PipeWireVideoStream(const PipeWireVideoStream&) = delete;
  PipeWireVideoStream& operator=(const PipeWireVideoStream&) = delete;

  Stats stats() const;

 private:
  struct Impl;
  explicit PipeWireVideoStream(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace qb::pipewire
