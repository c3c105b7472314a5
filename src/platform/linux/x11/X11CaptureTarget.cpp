#include "platform/linux/x11/X11CaptureTarget.hpp"

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>

#include <algorithm>
#include <cstring>

#include "platform/linux/x11/X11Connection.hpp"
#include "platform/linux/x11/X11Displays.hpp"

namespace qb::x11 {

namespace {

constexpr const char* kDomain = "ScreenCaptureErrorDomain";

PlatformError unavailable(const std::string& what) {
  return PlatformError{StreamErrorCode::kDisplayUnavailable, kDomain, what};
}

// `r` clipped to (0, 0, width, height); empty when outside.
PixelRect clip(PixelRect r, int width, int height) {
  const int x1 = std::min(r.x + r.width, width), y1 = std::min(r.y + r.height, height);
  r.x = std::max(r.x, 0);
  r.y = std::max(r.y, 0);
  r.width = std::max(0, x1 - r.x);
  r.height = std::max(0, y1 - r.y);
  return r;
}

}  // namespace

X11CaptureTarget::X11CaptureTarget(std::shared_ptr<X11Connection> connection, bool withCursor)
    : x_(std::move(connection)), withCursor_(withCursor), grabber_(x_) {}

std::unique_ptr<X11CaptureTarget> X11CaptureTarget::open(std::shared_ptr<X11Connection> connection,
                                                         const ContentFilter& filter, bool withCursor,
                                                         std::optional<PlatformError>* error) {
  std::unique_ptr<X11CaptureTarget> t(new X11CaptureTarget(std::move(connection), withCursor));
  const bool ok = filter.kind == ContentFilter::Kind::display ? t->setUpDisplay(filter.displayID, error)
                                                              : t->setUpWindow(filter.windowID, error);
  if (!ok) return nullptr;
  xcb_connection_t* c = t->x_->xcb();
  const X11Extensions& ext = t->x_->extensions();
  if (ext.damage.present && ext.xfixes.present) {
    t->damage_ = xcb_generate_id(c);
    xcb_damage_create(c, t->damage_, t->damaged_, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    t->region_ = xcb_generate_id(c);
    xcb_xfixes_create_region(c, t->region_, 0, nullptr);
  }
  if (withCursor && ext.xfixes.present)
    xcb_xfixes_select_cursor_input(c, t->x_->root(), XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
  xcb_flush(c);
  return t;
}

X11CaptureTarget::~X11CaptureTarget() {
  if (x_->isLost()) return;  // the server freed everything with the connection
  xcb_connection_t* c = x_->xcb();
  if (damage_) xcb_damage_destroy(c, damage_);
  if (region_) xcb_xfixes_destroy_region(c, region_);
  freeWindowPixmap();
  if (window_ != XCB_NONE) {
    if (redirected_) xcb_composite_unredirect_window(c, window_, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    const uint32_t none = XCB_EVENT_MASK_NO_EVENT;
    xcb_change_window_attributes(c, window_, XCB_CW_EVENT_MASK, &none);
  }
  xcb_flush(c);
}

bool X11CaptureTarget::setUpDisplay(uint32_t displayID, std::optional<PlatformError>* error) {
  displayID_ = displayID;
  damaged_ = x_->root();
  xcb_connection_t* c = x_->xcb();
  const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_change_window_attributes(c, x_->root(), XCB_CW_EVENT_MASK, &mask);
  if (x_->extensions().randr.present)
    xcb_randr_select_input(
        c, x_->root(),
        XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE | XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
  for (const X11Monitor& m : queryX11Monitors(*x_, false)) {
    if (m.id != displayID) continue;
    x_0 = m.x;
    y_0 = m.y;
    width_ = m.width;
    height_ = m.height;
    return true;
  }
  *error = unavailable("The display is not available");
  return false;
}

bool X11CaptureTarget::setUpWindow(xcb_window_t window, std::optional<PlatformError>* error) {
  xcb_connection_t* c = x_->xcb();
  // Select first, so that nothing that happens after the checks below goes unnoticed.
  const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  XcbReply<xcb_generic_error_t> selectError(
      xcb_request_check(c, xcb_change_window_attributes_checked(c, window, XCB_CW_EVENT_MASK, &mask)));
  XcbReply<xcb_get_window_attributes_reply_t> attributes(
      xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr));
  if (selectError || !attributes || window == XCB_NONE || window == x_->root()) {
    *error = unavailable("The window is not available");
    return false;
  }
  window_ = window;
  mapped_ = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
  if (x_->extensions().composite.present) {
    XcbReply<xcb_generic_error_t> redirectError(
        xcb_request_check(c, xcb_composite_redirect_window_checked(c, window, XCB_COMPOSITE_REDIRECT_AUTOMATIC)));
    redirected_ = !redirectError;
  }
  if (redirected_) {
    damaged_ = window;
    if (mapped_) nameWindowPixmap();
  } else {
    // Without a pixmap of its own the window is read from the screen, so any drawing there counts.
    damaged_ = x_->root();
    if (mapped_) locateWindowOnRoot();
  }
  return true;
}

void X11CaptureTarget::nameWindowPixmap() {
  freeWindowPixmap();
  xcb_connection_t* c = x_->xcb();
  const xcb_pixmap_t p = xcb_generate_id(c);
  XcbReply<xcb_generic_error_t> e(xcb_request_check(c, xcb_composite_name_window_pixmap_checked(c, window_, p)));
  if (e) return;  // not viewable after all: read from the screen until the next map
  pixmap_ = p;
  XcbReply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c, xcb_get_geometry(c, pixmap_), nullptr));
  XcbReply<xcb_get_geometry_reply_t> wg(xcb_get_geometry_reply(c, xcb_get_geometry(c, window_), nullptr));
  if (!g || !wg) return;
  // The pixmap holds the border too; the content starts inside it.
  border_ = wg->border_width;
  x_0 = border_;
  y_0 = border_;
  width_ = std::min<int>(wg->width, g->width - 2 * border_);
  height_ = std::min<int>(wg->height, g->height - 2 * border_);
}

void X11CaptureTarget::freeWindowPixmap() {
  if (pixmap_ == XCB_NONE) return;
  if (!x_->isLost()) xcb_free_pixmap(x_->xcb(), pixmap_);
  pixmap_ = XCB_NONE;
}

bool X11CaptureTarget::locateWindowOnRoot() {
  xcb_connection_t* c = x_->xcb();
  auto geometryCookie = xcb_get_geometry(c, window_);
  auto rootCookie = xcb_get_geometry(c, x_->root());
  auto whereCookie = xcb_translate_coordinates(c, window_, x_->root(), 0, 0);
  XcbReply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c, geometryCookie, nullptr));
  XcbReply<xcb_get_geometry_reply_t> root(xcb_get_geometry_reply(c, rootCookie, nullptr));
  XcbReply<xcb_translate_coordinates_reply_t> where(xcb_translate_coordinates_reply(c, whereCookie, nullptr));
  if (!g || !root || !where) return false;
  const PixelRect onScreen =
      clip(PixelRect{where->dst_x, where->dst_y, g->width, g->height}, root->width, root->height);
  x_0 = onScreen.x;
  y_0 = onScreen.y;
  width_ = onScreen.width;
  height_ = onScreen.height;
  return !onScreen.empty();
}

std::string X11CaptureTarget::goneMessage() const {
  return isWindow() ? "The window is no longer available" : "The display is no longer available";
}

X11CaptureTarget::Change X11CaptureTarget::handle(const xcb_generic_event_t& event) {
  const X11Extensions& ext = x_->extensions();
  const uint8_t type = X11Connection::eventType(event);
  if (type == 0) return Change::none;  // an error of a request that was allowed to fail
  if (damage_ && type == ext.damage.firstEvent + XCB_DAMAGE_NOTIFY) {
    return reinterpret_cast<const xcb_damage_notify_event_t&>(event).damage == damage_ ? Change::content : Change::none;
  }
  if (ext.xfixes.present && type == ext.xfixes.firstEvent + XCB_XFIXES_CURSOR_NOTIFY) {
    cursorStale_ = true;
    return withCursor_ ? Change::cursor : Change::none;
  }
  if (ext.randr.present && (type == ext.randr.firstEvent + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                            type == ext.randr.firstEvent + XCB_RANDR_NOTIFY))
    return recheckMonitor();
  switch (type) {
    case XCB_CONFIGURE_NOTIFY: {
      const auto& e = reinterpret_cast<const xcb_configure_notify_event_t&>(event);
      if (!isWindow()) return e.window == x_->root() ? recheckMonitor() : Change::none;
      if (e.window != window_ || !mapped_) return Change::none;
      if (usesComposite()) {
        // Moved: the content is the same, but the pointer lies elsewhere on it.
        if (e.width == width_ && e.height == height_ && e.border_width == border_) return Change::pointer;
        nameWindowPixmap();  // a resized window gets a new pixmap
        return Change::geometry;
      }
      const int w = width_, h = height_;
      locateWindowOnRoot();
      return w == width_ && h == height_ ? Change::content : Change::geometry;
    }
    case XCB_UNMAP_NOTIFY:
      if (reinterpret_cast<const xcb_unmap_notify_event_t&>(event).window != window_ || !isWindow())
        return Change::none;
      mapped_ = false;
      freeWindowPixmap();
      return Change::unmapped;
    case XCB_MAP_NOTIFY:
      if (reinterpret_cast<const xcb_map_notify_event_t&>(event).window != window_ || !isWindow()) return Change::none;
      mapped_ = true;
      if (redirected_)
        nameWindowPixmap();
      else
        locateWindowOnRoot();
      return Change::mapped;
    case XCB_REPARENT_NOTIFY:
      if (reinterpret_cast<const xcb_reparent_notify_event_t&>(event).window != window_ || !mapped_)
        return Change::none;
      if (redirected_) nameWindowPixmap();
      return Change::geometry;
    case XCB_DESTROY_NOTIFY:
      if (reinterpret_cast<const xcb_destroy_notify_event_t&>(event).window != window_ || !isWindow())
        return Change::none;
      pixmap_ = XCB_NONE;  // freed with the window
      return Change::gone;
    default:
      return Change::none;
  }
}

X11CaptureTarget::Change X11CaptureTarget::recheckMonitor() {
  if (isWindow()) return Change::none;
  const auto monitors = queryX11Monitors(*x_, false);
  if (monitors.empty()) return Change::none;  // the connection broke: the stream hears of it apart
  for (const X11Monitor& m : monitors) {
    if (m.id != displayID_) continue;
    if (m.x == x_0 && m.y == y_0 && m.width == width_ && m.height == height_) return Change::none;
    x_0 = m.x;
    y_0 = m.y;
    width_ = m.width;
    height_ = m.height;
    return Change::geometry;
  }
  return Change::gone;
}

BgraView X11CaptureTarget::grab(std::vector<PixelRect>& damage, std::string* why) {
  damage.clear();
  if (!mapped_) {
    if (why) *why = "the window is not mapped";
    return {};
  }
  xcb_connection_t* c = x_->xcb();
  if (damage_) {
    // Take the damage before the pixels: whatever is drawn after this raises a new notify.
    xcb_damage_subtract(c, damage_, XCB_NONE, region_);
    XcbReply<xcb_xfixes_fetch_region_reply_t> r(
        xcb_xfixes_fetch_region_reply(c, xcb_xfixes_fetch_region(c, region_), nullptr));
    if (r) {
      const bool onRoot = damaged_ == x_->root();
      const xcb_rectangle_t* rects = xcb_xfixes_fetch_region_rectangles(r.get());
      const int n = xcb_xfixes_fetch_region_rectangles_length(r.get());
      for (int i = 0; i < n; ++i) {
        PixelRect d{rects[i].x, rects[i].y, rects[i].width, rects[i].height};
        if (onRoot) {
          d.x -= x_0;
          d.y -= y_0;
        }
        if (d = clip(d, width_, height_); !d.empty()) damage.push_back(d);
      }
    }
  }
  xcb_drawable_t from = pixmap_;
  if (from == XCB_NONE) {
    from = x_->root();
    if (isWindow() && !locateWindowOnRoot()) {
      if (why) *why = "the window is off the screen";
      return {};
    }
  }
  const GrabbedPixels p = grabber_.grab(from, x_0, y_0, width_, height_, why);
  return BgraView{p.pixels, p.stride, p.width, p.height};
}

std::optional<std::pair<int, int>> X11CaptureTarget::pointer() {
  xcb_connection_t* c = x_->xcb();
  const xcb_window_t relativeTo = pixmap_ != XCB_NONE ? window_ : x_->root();
  XcbReply<xcb_query_pointer_reply_t> r(xcb_query_pointer_reply(c, xcb_query_pointer(c, relativeTo), nullptr));
  if (!r || !r->same_screen) return std::nullopt;
  if (relativeTo == window_) return std::make_pair(int(r->win_x), int(r->win_y));
  return std::make_pair(r->root_x - x_0, r->root_y - y_0);
}

bool X11CaptureTarget::pointerNear(const std::optional<std::pair<int, int>>& at) const {
  constexpr int kMargin = 64;  // larger than common cursors, whose hotspot may sit anywhere in them
  return at && at->first > -kMargin && at->second > -kMargin && at->first < width_ + kMargin &&
         at->second < height_ + kMargin;
}

const CursorView* X11CaptureTarget::cursor() {
  if (!withCursor_ || !x_->extensions().xfixes.present) return nullptr;
  xcb_connection_t* c = x_->xcb();
  if (cursorStale_) {
    XcbReply<xcb_xfixes_get_cursor_image_reply_t> r(
        xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
    if (!r) return nullptr;
    const uint32_t* px = xcb_xfixes_get_cursor_image_cursor_image(r.get());
    cursorPixels_.assign(px, px + size_t(r->width) * size_t(r->height));
    cursor_.width = r->width;
    cursor_.height = r->height;
    cursor_.serial = r->cursor_serial;
    hotX_ = r->xhot;
    hotY_ = r->yhot;
    cursorStale_ = false;
  }
  const auto at = pointer();
  if (!at || cursorPixels_.empty()) return nullptr;
  cursor_.pixels = cursorPixels_.data();
  cursor_.x = at->first - hotX_;
  cursor_.y = at->second - hotY_;
  if (cursor_.x >= width_ || cursor_.y >= height_ || cursor_.x + cursor_.width <= 0 || cursor_.y + cursor_.height <= 0)
    return nullptr;
  return &cursor_;
}

}  // namespace qb::x11
