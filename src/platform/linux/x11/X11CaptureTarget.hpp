#pragma once
// What one capture stream reads from the X server: a monitor's rectangle of the root window,
// or one window (its Composite pixmap, else its area of the screen), with the damage object
// that says when it changed and the pointer over it.
//
// Made and used on the stream's queue only. Destroying it gives back every server resource
// it made (damage, pixmap, region, redirection, shared segment) unless the connection is
// gone, in which case the server has freed them already.

#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/PlatformError.hpp"
#include "platform/ScreenCaptureService.hpp"
#include "platform/linux/encode/PictureConverter.hpp"
#include "platform/linux/x11/X11Grabber.hpp"

namespace qb::x11 {

using encode::BgraView;
using encode::CursorView;
using encode::PixelRect;

class X11Connection;

class X11CaptureTarget {
 public:
  // Sets up capture of `filter` on `connection`; an error (-3815) when the display or
  // window does not exist. Blocks for a few round trips.
  static std::unique_ptr<X11CaptureTarget> open(std::shared_ptr<X11Connection> connection, const ContentFilter& filter,
                                                bool withCursor, std::optional<PlatformError>* error);
  ~X11CaptureTarget();
  X11CaptureTarget(const X11CaptureTarget&) = delete;
  X11CaptureTarget& operator=(const X11CaptureTarget&) = delete;

  enum class Change {
    none,
    content,   // new pixels: a picture is due
    cursor,    // the cursor changed shape: a picture is due
    pointer,   // the pointer may now lie elsewhere on the target: look where it is
    geometry,  // new size or place: a picture is due, converted afresh
    unmapped,  // nothing to capture until mapped
    mapped,    // capturable again: a picture is due
    gone,      // the monitor or window no longer exists: the stream ends (goneMessage)
  };
  // What the event means for this target. `event`: a whole X event as received.
  Change handle(const xcb_generic_event_t& event);
  // For displays, whose monitor list the server does not announce changes of: looks again.
  Change recheckMonitor();

  bool capturable() const { return mapped_; }
  bool isWindow() const { return window_ != XCB_NONE; }
  bool usesComposite() const { return pixmap_ != XCB_NONE; }
  bool usesSharedMemory() const { return grabber_.usesSharedMemory(); }
  bool tracksDamage() const { return damage_ != 0; }
  // Whether a cursor at `at` (target coordinates) may show on the target.
  bool pointerNear(const std::optional<std::pair<int, int>>& at) const;
  std::string goneMessage() const;

  // The pixels now, and the rectangles (target coordinates) damaged since the last grab.
  // Empty pixels when they cannot be read now (`why` says why). Blocks for round trips.
  BgraView grab(std::vector<PixelRect>& damage, std::string* why);
  // The pointer in target coordinates, none when it is not on the target's screen.
  std::optional<std::pair<int, int>> pointer();
  // The cursor image placed over the last grab, or null when it is not over it.
  const CursorView* cursor();

 private:
  X11CaptureTarget(std::shared_ptr<X11Connection> connection, bool withCursor);
  bool setUpWindow(xcb_window_t window, std::optional<PlatformError>* error);
  bool setUpDisplay(uint32_t displayID, std::optional<PlatformError>* error);
  void nameWindowPixmap();
  void freeWindowPixmap();
  // Where the window's content lies on the root window now (no Composite).
  bool locateWindowOnRoot();

  std::shared_ptr<X11Connection> x_;
  const bool withCursor_;
  X11Grabber grabber_;
  uint32_t displayID_ = 0;
  xcb_window_t window_ = XCB_NONE;
  bool redirected_ = false;
  xcb_pixmap_t pixmap_ = XCB_NONE;
  xcb_drawable_t damaged_ = XCB_NONE;  // what the damage object watches
  uint32_t damage_ = 0;
  xcb_xfixes_region_t region_ = XCB_NONE;
  bool mapped_ = true;
  int border_ = 0;
  // The captured rectangle: of the root window for displays and uncomposited windows, of
  // the pixmap for composited ones.
  int x_0 = 0, y_0 = 0, width_ = 0, height_ = 0;
  // Cursor: the image is fetched again only when XFixes says it changed.
  bool cursorStale_ = true;
  std::vector<uint32_t> cursorPixels_;
  CursorView cursor_;
  int hotX_ = 0, hotY_ = 0;
};

}  // namespace qb::x11
