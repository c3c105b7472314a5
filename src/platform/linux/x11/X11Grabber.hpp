#pragma once
// Copies a rectangle of a drawable (the root window, a window's pixmap) into memory of our
// own, as 32-bit BGRX: through MIT-SHM into a shared segment that is kept and reused while
// the size stays (the server writes the pixels straight into it), or with a plain GetImage
// reply where the server lacks MIT-SHM or refuses the segment (another host, another IPC
// namespace).
//
// Not thread-safe: one stream's capture queue owns it. The segment is detached and freed on
// destruction and whenever the size changes; the whole of it also dies with the connection.

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/linux/x11/X11Connection.hpp"

namespace qb::x11 {

struct GrabbedPixels {
  const uint8_t* pixels = nullptr;  // B, G, R, X per pixel
  int stride = 0;
  int width = 0;
  int height = 0;
};

class X11Grabber {
 public:
  explicit X11Grabber(std::shared_ptr<X11Connection> connection);
  ~X11Grabber();
  X11Grabber(const X11Grabber&) = delete;
  X11Grabber& operator=(const X11Grabber&) = delete;

  // Whether the server's pixel layout is one we read (32 bits per pixel, depth 24 or 32,
  // little-endian); `why` says what is not.
  static bool supportsFormat(const X11Connection& connection, std::string* why);

  // Grabs (x, y, width, height) of `drawable`. The pixels stay valid until the next grab or
  // destruction. Empty pixels when the request failed (the drawable is gone or the
  // rectangle leaves it; `why` is set). Blocks for one round trip.
  GrabbedPixels grab(xcb_drawable_t drawable, int x, int y, int width, int height, std::string* why = nullptr);

  bool usesSharedMemory() const { return shmUsable_; }

 private:
  bool ensureSegment(size_t bytes);
  void releaseSegment();

  std::shared_ptr<X11Connection> x_;
  bool shmUsable_ = false;
  xcb_shm_seg_t seg_ = 0;
  uint8_t* memory_ = nullptr;
  size_t bytes_ = 0;
  std::unique_ptr<xcb_get_image_reply_t, XcbFree> reply_;  // GetImage's pixels live in the reply
};

}  // namespace qb::x11
