#pragma once
// Screen video as the command loop drives it: one source per START_VIDEO, told what to
// capture and how to encode it.

#include <cstdint>
#include <optional>
#include <string>

#include "screen/VideoSourceError.hpp"

namespace qb {

// What to capture. "display" names a display (0: the first one the platform lists); any
// other type names a window. New ways of naming a target go here as optional members, so
// that START_VIDEO and SWITCH_VIDEO carry them alike.
struct VideoTarget {
  std::string type = "display";
  uint32_t id = 0;
  // Where the user picks the target in the desktop's dialog (Wayland): an earlier choice to
  // take again without asking, as the host was given it; empty: ask.
  std::string restoreToken;
};

// How to encode it; fixed for the life of a source.
struct VideoFormat {
  int64_t width = 1920;
  int64_t height = 1080;
  int64_t fps = 10;
  int64_t bitrate = 2000000;
};

// start, switchTarget and stop are called from one thread at a time (the command loop's)
// and return once the platform has answered. A failure leaves the source as it was before
// the call; its printable form (describe) is what the host is answered.
class VideoSource {
 public:
  virtual ~VideoSource() = default;
  virtual std::optional<ScreenVideoError> start(const VideoTarget& target) = 0;
  virtual std::optional<ScreenVideoError> switchTarget(const VideoTarget& target) = 0;
  // Does nothing when not active.
  virtual void stop() = 0;
  // False before start, after stop, and once the capture has ended on its own.
  virtual bool isActive() const = 0;
};

}  // namespace qb
