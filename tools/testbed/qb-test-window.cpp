// qb-test-window: a small X application for the screen tests. It opens one top-level window
// with the title, class, PID, type and geometry it is given, paints a known picture, and obeys
// commands on standard input, one per line.
//
// Options:
//   --geometry WxH+X+Y      size and position (default 320x240+100+100)
//   --title TEXT            _NET_WM_NAME (UTF-8) and WM_NAME (Latin-1, '?' for what it lacks)
//   --net-wm-name-hex HEX   _NET_WM_NAME as these bytes (e.g. invalid UTF-8)
//   --wm-name-hex HEX       WM_NAME as these bytes
//   --wm-name-type TYPE     the type of WM_NAME: STRING (default), COMPOUND_TEXT, UTF8_STRING
//   --no-title              neither name property
//   --class INSTANCE,CLASS  WM_CLASS (default qb-test-window,QbTestWindow); --no-class: none
//   --pid N | --no-pid      _NET_WM_PID (default: this process)
//   --machine NAME          WM_CLIENT_MACHINE (default: this host)
//   --type TYPE             _NET_WM_WINDOW_TYPE_<TYPE>, e.g. normal, dialog, dock, splash
//   --override-redirect     a window the window manager leaves alone (menus, tooltips)
//   --colour RRGGBB         (default 2080C0)
//   --pattern NAME          solid (default), bars, checker, quadrants (TestPictures.hpp)
//   --unmapped              create the window but do not map it
//   --stay                  keep running at the end of standard input
//
// Commands (each is answered "ok <command>" once the X server has done it, or
// "error <command>: <why>"):
//   move X Y | resize W H | raise | lower | map | unmap | title TEXT
//   iconify                        asks the window manager to minimise the window (without
//                                  one, nothing happens and the answer is an error)
//   colour RRGGBB | pattern NAME
//   colour RRGGBB AT               paints at CLOCK_MONOTONIC second AT (at once when that has
//                                  passed) and answers "ok colour SECONDS", SECONDS being
//                                  CLOCK_MONOTONIC just before the paint was sent
//   animate [content|move] [FPS]   the picture scrolls (content) or the window glides
//                                  (move) FPS times a second (default content, 30)
//   counter [MIN_MS MAX_MS]        paints the counter code (TestPictures.hpp) with the next
//                                  number at random moments, and prints "paint N SECONDS"
//                                  (CLOCK_MONOTONIC just before the paint was sent) for each
//   still                          ends animate and counter
//   pointer X Y                    moves the mouse pointer to X Y inside the window, as a
//                                  mouse does (XTest: listeners of raw motion hear of it)
//   sync                           answers once everything before it reached the server
//   quit                           closes the window and exits
//   die                            exits at once without closing anything, as a crash does
//
// Prints "ready <window id in decimal>" once the window is mapped and painted (with
// --unmapped: once it exists). Under a window manager, move, resize and map are answered when
// the manager has applied them (at most 2 s), raise and lower when the request was sent.
// Ends when standard input ends (unless --stay), when the window manager closes the window,
// or when the X connection is lost.

#include <poll.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "TestPictures.hpp"

namespace {

using qb::testpictures::CellBounds;

double monotonicSeconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

void say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

[[noreturn]] void fail(const std::string& why) {
  std::fprintf(stderr, "qb-test-window: %s\n", why.c_str());
  std::exit(2);
}

std::optional<std::string> fromHex(const std::string& hex) {
  if (hex.size() % 2) return std::nullopt;
  std::string out;
  for (size_t i = 0; i < hex.size(); i += 2) {
    char* end = nullptr;
    const std::string pair = hex.substr(i, 2);
    const long v = std::strtol(pair.c_str(), &end, 16);
    if (*end) return std::nullopt;
    out.push_back(char(v));
  }
  return out;
}

std::optional<uint32_t> parseColour(const std::string& s) {
  if (s.size() != 6 || s.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return std::nullopt;
  return uint32_t(std::stoul(s, nullptr, 16));
}

// UTF-8 to Latin-1, '?' for every character Latin-1 lacks (and for broken sequences).
std::string latin1(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    const auto b = uint8_t(utf8[i]);
    if (b < 0x80) {
      out.push_back(char(b));
      ++i;
      continue;
    }
    int len = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    if (len == 2 && i + 1 < utf8.size()) {
      const uint32_t cp = (uint32_t(b & 0x1F) << 6) | (uint8_t(utf8[i + 1]) & 0x3F);
      out.push_back(cp < 0x100 ? char(cp) : '?');
    } else {
      out.push_back('?');
    }
    i += size_t(len);
  }
  return out;
}

enum class Pattern { solid, bars, checker, quadrants };

std::optional<Pattern> parsePattern(const std::string& s) {
  if (s == "solid") return Pattern::solid;
  if (s == "bars") return Pattern::bars;
  if (s == "checker") return Pattern::checker;
  if (s == "quadrants") return Pattern::quadrants;
  return std::nullopt;
}

struct Options {
  int x = 100, y = 100, width = 320, height = 240;
  std::optional<std::string> netWmName, wmName;
  std::string wmNameType = "STRING";
  std::optional<std::string> wmClass = std::string("qb-test-window,QbTestWindow");
  std::optional<uint32_t> pid = uint32_t(::getpid());
  std::optional<std::string> machine;
  std::optional<std::string> type;
  bool overrideRedirect = false;
  uint32_t colour = 0x2080C0;
  Pattern pattern = Pattern::solid;
  bool mapped = true;
  bool stay = false;
};

Options parseOptions(int argc, char** argv) {
  Options o;
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) == 0) o.machine = host;
  auto value = [&](int& i) -> std::string {
    if (i + 1 >= argc) fail(std::string("missing value after ") + argv[i]);
    return argv[++i];
  };
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--geometry") {
      const std::string g = value(i);
      int w, h, x, y;
      char sx, sy;
      if (std::sscanf(g.c_str(), "%dx%d%c%d%c%d", &w, &h, &sx, &x, &sy, &y) != 6 || w <= 0 || h <= 0 ||
          (sx != '+' && sx != '-') || (sy != '+' && sy != '-'))
        fail("bad geometry " + g + " (expected WxH+X+Y)");
      o.width = w;
      o.height = h;
      o.x = sx == '-' ? -x : x;
      o.y = sy == '-' ? -y : y;
    } else if (a == "--title") {
      const std::string t = value(i);
      o.netWmName = t;
      o.wmName = latin1(t);
    } else if (a == "--net-wm-name-hex" || a == "--wm-name-hex") {
      const std::string h = value(i);
      auto bytes = fromHex(h);
      if (!bytes) fail("bad hex " + h);
      (a == "--wm-name-hex" ? o.wmName : o.netWmName) = *bytes;
    } else if (a == "--wm-name-type") {
      o.wmNameType = value(i);
    } else if (a == "--no-title") {
      o.netWmName.reset();
      o.wmName.reset();
    } else if (a == "--class") {
      o.wmClass = value(i);
    } else if (a == "--no-class") {
      o.wmClass.reset();
    } else if (a == "--pid") {
      o.pid = uint32_t(std::strtoul(value(i).c_str(), nullptr, 10));
    } else if (a == "--no-pid") {
      o.pid.reset();
    } else if (a == "--machine") {
      o.machine = value(i);
    } else if (a == "--type") {
      o.type = value(i);
    } else if (a == "--override-redirect") {
      o.overrideRedirect = true;
    } else if (a == "--colour" || a == "--color") {
      const std::string c = value(i);
      auto v = parseColour(c);
      if (!v) fail("bad colour " + c + " (expected RRGGBB)");
      o.colour = *v;
    } else if (a == "--pattern") {
      const std::string p = value(i);
      auto v = parsePattern(p);
      if (!v) fail("unknown pattern " + p);
      o.pattern = *v;
    } else if (a == "--unmapped") {
      o.mapped = false;
    } else if (a == "--stay") {
      o.stay = true;
    } else {
      fail("unknown option " + a + " (see the comment at the top of tools/testbed/qb-test-window.cpp)");
    }
  }
  return o;
}

struct Free {
  void operator()(void* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, Free>;

class TestWindow {
 public:
  explicit TestWindow(Options o) : o_(std::move(o)), random_(std::random_device{}()) {
    int screenNumber = 0;
    c_ = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(c_)) fail("cannot connect to the X server (DISPLAY)");
    auto it = xcb_setup_roots_iterator(xcb_get_setup(c_));
    for (int i = 0; i < screenNumber && it.rem; ++i) xcb_screen_next(&it);
    screen_ = it.data;
    findVisual();
    createWindow();
  }
  ~TestWindow() {
    if (c_) xcb_disconnect(c_);
  }

  int run() {
    if (o_.mapped) {
      mapWindow();
    } else {
      sync();
      say("ready %u", window_);
    }
    bool inputOpen = true;
    for (;;) {
      if (xcb_connection_has_error(c_)) {
        std::fprintf(stderr, "qb-test-window: X connection lost\n");
        return 1;
      }
      handleEvents();
      if (closed_) return 0;
      runTimers();
      // A command waits until the one before it was answered.
      size_t nl;
      while (wait_ == Wait::none && (nl = input_.find('\n')) != std::string::npos) {
        std::string line = input_.substr(0, nl);
        input_.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && !command(line)) return 0;
      }
      if (!inputOpen && wait_ == Wait::none && !o_.stay) return 0;
      pollfd fds[2] = {{xcb_get_file_descriptor(c_), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
      const int n = ::poll(fds, inputOpen ? 2 : 1, timeoutMs());
      if (n < 0 && errno != EINTR) fail(std::string("poll: ") + std::strerror(errno));
      if (inputOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
        char buf[4096];
        const ssize_t got = ::read(STDIN_FILENO, buf, sizeof buf);
        if (got > 0) {
          input_.append(buf, size_t(got));
        } else if (got == 0 || errno != EINTR) {
          inputOpen = false;
          input_.push_back('\n');  // a last line without its newline still counts
        }
      }
    }
  }

 private:
  enum class Wait { none, viewable, unmapped, configured };

  xcb_atom_t atom(const char* name) {
    Reply<xcb_intern_atom_reply_t> r(
        xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, uint16_t(std::strlen(name)), name), nullptr));
    return r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
  }

  void findVisual() {
    for (auto d = xcb_screen_allowed_depths_iterator(screen_); d.rem; xcb_depth_next(&d)) {
      for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v)) {
        if (v.data->visual_id == screen_->root_visual) visual_ = *v.data;
      }
    }
    if (visual_.red_mask == 0 || visual_._class != XCB_VISUAL_CLASS_TRUE_COLOR)
      fail("the screen's default visual is not true colour");
  }

  // 0xRRGGBB as a pixel value of the screen's visual.
  uint32_t pixel(uint32_t rgb) const {
    auto place = [](uint32_t v8, uint32_t mask) {
      if (!mask) return 0u;
      int shift = 0, bits = 0;
      while (!((mask >> shift) & 1)) ++shift;
      while ((mask >> (shift + bits)) & 1) ++bits;
      const uint32_t v = bits >= 8 ? v8 << (bits - 8) : v8 >> (8 - bits);
      return (v << shift) & mask;
    };
    return place((rgb >> 16) & 0xFF, visual_.red_mask) | place((rgb >> 8) & 0xFF, visual_.green_mask) |
           place(rgb & 0xFF, visual_.blue_mask);
  }

  void setProperty(xcb_atom_t property, xcb_atom_t type, uint8_t format, uint32_t count, const void* data) {
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window_, property, type, format, count, data);
  }
  void setString(xcb_atom_t property, xcb_atom_t type, const std::string& s) {
    setProperty(property, type, 8, uint32_t(s.size()), s.data());
  }

  void setTitle() {
    if (o_.netWmName) setString(atom("_NET_WM_NAME"), atom("UTF8_STRING"), *o_.netWmName);
    if (o_.wmName) setString(XCB_ATOM_WM_NAME, atom(o_.wmNameType.c_str()), *o_.wmName);
  }

  void createWindow() {
    window_ = xcb_generate_id(c_);
    const uint32_t mask = XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK;
    const uint32_t values[] = {pixel(0), o_.overrideRedirect ? 1u : 0u,
                               XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY |
                                   XCB_EVENT_MASK_VISIBILITY_CHANGE | XCB_EVENT_MASK_PROPERTY_CHANGE};
    xcb_create_window(c_, screen_->root_depth, window_, screen_->root, int16_t(o_.x), int16_t(o_.y), uint16_t(o_.width),
                      uint16_t(o_.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual, mask, values);
    width_ = o_.width;
    height_ = o_.height;
    setTitle();
    if (o_.wmClass) {
      std::string v = *o_.wmClass;
      const size_t comma = v.find(',');
      if (comma != std::string::npos) v[comma] = '\0';
      v.push_back('\0');
      setString(XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, v);
    }
    if (o_.pid) setProperty(atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1, &*o_.pid);
    if (o_.machine) setString(XCB_ATOM_WM_CLIENT_MACHINE, XCB_ATOM_STRING, *o_.machine);
    if (o_.type) {
      std::string name = "_NET_WM_WINDOW_TYPE_";
      for (char ch : *o_.type) name.push_back(ch == '-' ? '_' : char(std::toupper(uint8_t(ch))));
      const xcb_atom_t t = atom(name.c_str());
      setProperty(atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 32, 1, &t);
    }
    // Without user-specified position and size a window manager places the window itself.
    const uint32_t sizeHints[18] = {1 | 2 | 4 | 8, uint32_t(o_.x), uint32_t(o_.y), uint32_t(o_.width),
                                    uint32_t(o_.height)};
    setProperty(XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, 32, 18, sizeHints);
    const uint32_t wmHints[9] = {1, 1};  // InputHint: the window takes focus
    setProperty(XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS, 32, 9, wmHints);
    wmProtocols_ = atom("WM_PROTOCOLS");
    wmDeleteWindow_ = atom("WM_DELETE_WINDOW");
    setProperty(wmProtocols_, XCB_ATOM_ATOM, 32, 1, &wmDeleteWindow_);
    gc_ = xcb_generate_id(c_);
    xcb_create_gc(c_, gc_, window_, 0, nullptr);
    rebuildBackBuffer();
  }

  void rebuildBackBuffer() {
    if (back_) xcb_free_pixmap(c_, back_);
    back_ = xcb_generate_id(c_);
    xcb_create_pixmap(c_, screen_->root_depth, back_, window_, uint16_t(width_), uint16_t(height_));
    backValid_ = false;
  }

  void fill(uint32_t rgb, int x, int y, int w, int h) {
    if (w <= 0 || h <= 0) return;
    const uint32_t fg = pixel(rgb);
    xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND, &fg);
    const xcb_rectangle_t r{int16_t(x), int16_t(y), uint16_t(w), uint16_t(h)};
    xcb_poly_fill_rectangle(c_, back_, gc_, 1, &r);
  }

  // Scrolled columns wrap around, so a scrolled picture still covers the whole window.
  void fillColumns(uint32_t rgb, int x, int y, int w, int h) {
    x = ((x % width_) + width_) % width_;
    fill(rgb, x, y, std::min(w, width_ - x), h);
    if (x + w > width_) fill(rgb, 0, y, x + w - width_, h);
  }

  void drawPicture() {
    const int W = width_, H = height_, s = scroll_;
    if (counterOn_) {
      for (int r = 0; r < qb::testpictures::kCodeRows; ++r) {
        for (int col = 0; col < qb::testpictures::kCodeColumns; ++col) {
          const CellBounds b = qb::testpictures::codeCell(W, H, col, r);
          fill(qb::testpictures::codeCellIsWhite(counter_, col, r) ? 0xFFFFFF : 0x000000, b.x0, b.y0, b.x1 - b.x0,
               b.y1 - b.y0);
        }
      }
      return;
    }
    switch (pattern_) {
      case Pattern::solid: {
        // Animated, a solid window walks through its hue so that every frame differs.
        uint32_t rgb = colour_;
        if (s) rgb = (colour_ + uint32_t(s) * 0x030507) & 0xFFFFFF;
        fill(rgb, 0, 0, W, H);
        break;
      }
      case Pattern::bars:
        for (int i = 0; i < 8; ++i)
          fillColumns(qb::testpictures::kBars[i], i * W / 8 + s, 0, (i + 1) * W / 8 - i * W / 8, H);
        break;
      case Pattern::checker: {
        const int k = qb::testpictures::kCheckerCell;
        fill(0x000000, 0, 0, W, H);
        for (int y = 0; y < H; y += k)
          for (int x = 0; x < W + k; x += k)
            if (((x / k) + (y / k)) % 2) fillColumns(0xFFFFFF, x + s, y, k, k);
        break;
      }
      case Pattern::quadrants:
        fillColumns(qb::testpictures::kQuadrants[0], s, 0, W / 2, H / 2);
        fillColumns(qb::testpictures::kQuadrants[1], W / 2 + s, 0, W - W / 2, H / 2);
        fillColumns(qb::testpictures::kQuadrants[2], s, H / 2, W / 2, H - H / 2);
        fillColumns(qb::testpictures::kQuadrants[3], W / 2 + s, H / 2, W - W / 2, H - H / 2);
        break;
    }
  }

  // Draws into the back buffer and shows it with one request, so no grab sees half a picture.
  void paint(bool redraw = true) {
    if (redraw || !backValid_) {
      drawPicture();
      backValid_ = true;
    }
    xcb_copy_area(c_, back_, window_, gc_, 0, 0, 0, 0, uint16_t(width_), uint16_t(height_));
    xcb_flush(c_);
  }

  void sync() { std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }

  bool viewable() {
    Reply<xcb_get_window_attributes_reply_t> a(
        xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, window_), nullptr));
    return a && a->map_state == XCB_MAP_STATE_VIEWABLE;
  }

  void mapWindow() {
    xcb_map_window(c_, window_);
    xcb_flush(c_);
    // The first map may wait for a busy window manager much longer than a later one.
    if (ready_ || !o_.mapped) {
      expect(Wait::viewable, "map");
    } else {
      expect(Wait::viewable, "", 30);
    }
  }

  void unmapWindow() {
    xcb_unmap_window(c_, window_);
    // A window manager learns of a withdrawal from this synthetic event.
    xcb_unmap_notify_event_t e{};
    e.response_type = XCB_UNMAP_NOTIFY;
    e.event = screen_->root;
    e.window = window_;
    xcb_send_event(c_, 0, screen_->root, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&e));
    xcb_flush(c_);
    expect(Wait::unmapped, "unmap");
  }

  // `values` are X, Y or W, H, as `mask` says.
  void configure(uint16_t mask, const uint32_t* values, const std::string& what) {
    // Without a window manager a request that changes nothing brings no notify to wait for.
    Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c_, xcb_query_tree(c_, window_), nullptr));
    Reply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c_, xcb_get_geometry(c_, window_), nullptr));
    if (tree && g && tree->parent == screen_->root) {
      const bool position = mask & XCB_CONFIG_WINDOW_X;
      const uint32_t now[] = {position ? uint32_t(g->x) : g->width, position ? uint32_t(g->y) : g->height};
      if (now[0] == values[0] && now[1] == values[1]) {
        say("ok %s", what.c_str());
        return;
      }
    }
    xcb_configure_window(c_, window_, mask, values);
    xcb_flush(c_);
    expect(Wait::configured, what, 1);
  }

  // The answer to `what` is given once the window reaches `state`, or after `seconds`.
  void expect(Wait state, const std::string& what, double seconds = 2) {
    wait_ = state;
    waitingFor_ = what;
    waitDeadline_ = monotonicSeconds() + seconds;
    sawConfigure_ = false;
    checkWait();
  }

  void checkWait() {
    if (wait_ == Wait::none) return;
    bool done = false;
    switch (wait_) {
      case Wait::viewable:
        done = viewable();
        break;
      case Wait::unmapped:
        done = !mapped_;
        break;
      case Wait::configured:
        done = sawConfigure_;
        break;
      case Wait::none:
        break;
    }
    if (!done && monotonicSeconds() < waitDeadline_) return;
    const Wait was = wait_;
    wait_ = Wait::none;
    if (was == Wait::viewable && done) paint(false);
    sync();
    if (waitingFor_.empty()) {
      ready_ = true;
      if (done) {
        say("ready %u", window_);
      } else {
        say("error ready: the window did not become viewable");
      }
    } else if (done || was == Wait::configured) {
      // A window manager may leave a window where it is; the request was made all the same.
      say("ok %s", waitingFor_.c_str());
    } else {
      say("error %s: not done within 2 s", waitingFor_.c_str());
    }
  }

  void handleEvents() {
    while (xcb_generic_event_t* raw = xcb_poll_for_event(c_)) {
      std::unique_ptr<xcb_generic_event_t, Free> e(raw);
      switch (e->response_type & 0x7F) {
        case XCB_EXPOSE:
          if (reinterpret_cast<xcb_expose_event_t*>(raw)->count == 0) paint(false);
          break;
        case XCB_MAP_NOTIFY:
          mapped_ = true;
          break;
        case XCB_UNMAP_NOTIFY:
          mapped_ = false;
          break;
        case XCB_CONFIGURE_NOTIFY: {
          auto* ce = reinterpret_cast<xcb_configure_notify_event_t*>(raw);
          sawConfigure_ = true;
          if (ce->width != width_ || ce->height != height_) {
            width_ = ce->width;
            height_ = ce->height;
            rebuildBackBuffer();
            paint();
          }
          break;
        }
        case XCB_CLIENT_MESSAGE: {
          auto* cm = reinterpret_cast<xcb_client_message_event_t*>(raw);
          if (cm->type == wmProtocols_ && cm->data.data32[0] == wmDeleteWindow_) closed_ = true;
          break;
        }
        case 0: {
          auto* err = reinterpret_cast<xcb_generic_error_t*>(raw);
          std::fprintf(stderr, "qb-test-window: X error %d (request %d)\n", err->error_code, err->major_code);
          break;
        }
        default:
          break;
      }
    }
    checkWait();
  }

  int timeoutMs() const {
    double next = 1e18;
    if (wait_ != Wait::none) next = std::min(next, waitDeadline_);
    // A reparented window turns viewable when the window manager maps its frame, which
    // sends no event to the window itself: look again soon.
    if (wait_ == Wait::viewable) next = std::min(next, monotonicSeconds() + 0.05);
    if (animateFps_ > 0) next = std::min(next, nextAnimate_);
    if (counterOn_) next = std::min(next, nextCounter_);
    if (next > 1e17) return -1;
    return std::max(0, int(std::ceil((next - monotonicSeconds()) * 1000)));
  }

  void runTimers() {
    const double now = monotonicSeconds();
    if (animateFps_ > 0 && now >= nextAnimate_) {
      nextAnimate_ = std::max(nextAnimate_ + 1 / animateFps_, now);
      ++tick_;
      if (animateMove_) {
        // A circle of 100 px around the start point, once every 4 s at 30 fps.
        const double a = tick_ * 2 * M_PI / 120;
        const uint32_t xy[] = {uint32_t(originX_ + int(100 * std::cos(a))),
                               uint32_t(originY_ + int(100 * std::sin(a)))};
        xcb_configure_window(c_, window_, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, xy);
        xcb_flush(c_);
      } else {
        scroll_ = tick_ * 8;
        paint();
      }
    }
    if (counterOn_ && now >= nextCounter_) {
      ++counter_;
      const double t = monotonicSeconds();
      paint();
      say("paint %u %.6f", unsigned(counter_), t);
      std::uniform_int_distribution<int> gap(counterMinMs_, counterMaxMs_);
      nextCounter_ = monotonicSeconds() + gap(random_) / 1000.0;
    }
  }

  int geometryOrigin(bool wantX) {
    Reply<xcb_translate_coordinates_reply_t> r(
        xcb_translate_coordinates_reply(c_, xcb_translate_coordinates(c_, window_, screen_->root, 0, 0), nullptr));
    if (!r) return wantX ? o_.x : o_.y;
    return wantX ? r->dst_x : r->dst_y;
  }

  // False when the program should end.
  bool command(const std::string& line) {
    std::istringstream in(line);
    std::string word;
    in >> word;
    auto error = [&](const std::string& why) {
      say("error %s: %s", word.c_str(), why.c_str());
      return true;
    };
    if (word == "move") {
      int x, y;
      if (!(in >> x >> y)) return error("usage: move X Y");
      const uint32_t v[] = {uint32_t(x), uint32_t(y)};
      configure(XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, v, word);
    } else if (word == "resize") {
      int w, h;
      if (!(in >> w >> h) || w <= 0 || h <= 0 || w > 32767 || h > 32767) return error("usage: resize W H");
      const uint32_t v[] = {uint32_t(w), uint32_t(h)};
      configure(XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, v, word);
    } else if (word == "raise" || word == "lower") {
      const uint32_t v[] = {word == "raise" ? uint32_t(XCB_STACK_MODE_ABOVE) : uint32_t(XCB_STACK_MODE_BELOW)};
      xcb_configure_window(c_, window_, XCB_CONFIG_WINDOW_STACK_MODE, v);
      sync();
      say("ok %s", word.c_str());
    } else if (word == "map") {
      mapWindow();
    } else if (word == "unmap") {
      unmapWindow();
    } else if (word == "iconify") {
      xcb_client_message_event_t e{};
      e.response_type = XCB_CLIENT_MESSAGE;
      e.format = 32;
      e.window = window_;
      e.type = atom("WM_CHANGE_STATE");
      e.data.data32[0] = 3;  // IconicState
      xcb_send_event(c_, 0, screen_->root, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                     reinterpret_cast<const char*>(&e));
      xcb_flush(c_);
      expect(Wait::unmapped, word);
    } else if (word == "title") {
      std::string t;
      std::getline(in >> std::ws, t);
      o_.netWmName = t;
      o_.wmName = latin1(t);
      o_.wmNameType = "STRING";
      setTitle();
      sync();
      say("ok title");
    } else if (word == "colour" || word == "color") {
      std::string s;
      in >> s;
      auto v = parseColour(s);
      if (!v) return error("usage: colour RRGGBB [AT]");
      double at = 0;
      const bool timed = bool(in >> at);
      if (timed) {
        const timespec due{time_t(at), long((at - std::floor(at)) * 1e9)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
        }
      }
      colour_ = *v;
      pattern_ = Pattern::solid;
      const double painted = monotonicSeconds();
      paint();
      sync();
      if (timed)
        say("ok %s %.6f", word.c_str(), painted);
      else
        say("ok %s", word.c_str());
    } else if (word == "pattern") {
      std::string s;
      in >> s;
      auto p = parsePattern(s);
      if (!p) return error("unknown pattern (solid, bars, checker, quadrants)");
      pattern_ = *p;
      paint();
      sync();
      say("ok pattern");
    } else if (word == "animate") {
      std::string mode = "content";
      double fps = 30;
      std::string a;
      while (in >> a) {
        if (a == "content" || a == "move" || a == "off") {
          mode = a;
        } else {
          char* end = nullptr;
          fps = std::strtod(a.c_str(), &end);
          if (*end || !(fps > 0 && fps <= 1000)) return error("usage: animate [content|move|off] [FPS]");
        }
      }
      if (mode == "off") {
        animateFps_ = 0;
      } else {
        animateMove_ = mode == "move";
        animateFps_ = fps;
        nextAnimate_ = monotonicSeconds();
        originX_ = geometryOrigin(true);
        originY_ = geometryOrigin(false);
      }
      say("ok animate");
    } else if (word == "counter") {
      std::string a;
      if (in >> a && a == "off") {
        counterOn_ = false;
        paint();
      } else {
        int lo = 30, hi = 200;
        if (!a.empty()) {
          lo = std::atoi(a.c_str());
          if (!(in >> hi) || lo < 1 || hi < lo) return error("usage: counter [MIN_MS MAX_MS]");
        }
        counterMinMs_ = lo;
        counterMaxMs_ = hi;
        counterOn_ = true;
        nextCounter_ = monotonicSeconds();
      }
      say("ok counter");
    } else if (word == "still") {
      animateFps_ = 0;
      counterOn_ = false;
      say("ok still");
    } else if (word == "pointer") {
      int x, y;
      if (!(in >> x >> y)) return error("usage: pointer X Y");
      Reply<xcb_translate_coordinates_reply_t> at(xcb_translate_coordinates_reply(
          c_, xcb_translate_coordinates(c_, window_, screen_->root, int16_t(x), int16_t(y)), nullptr));
      if (!at) return error("the window is gone");
      xcb_test_fake_input(c_, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, screen_->root, at->dst_x, at->dst_y, 0);
      sync();
      say("ok pointer");
    } else if (word == "sync") {
      sync();
      say("ok sync");
    } else if (word == "quit") {
      xcb_destroy_window(c_, window_);
      sync();
      say("ok quit");
      return false;
    } else if (word == "die") {
      std::raise(SIGKILL);
    } else {
      return error("unknown command");
    }
    return true;
  }

  Options o_;
  xcb_connection_t* c_ = nullptr;
  xcb_screen_t* screen_ = nullptr;
  xcb_visualtype_t visual_{};
  xcb_window_t window_ = 0;
  xcb_pixmap_t back_ = 0;
  xcb_gcontext_t gc_ = 0;
  xcb_atom_t wmProtocols_ = 0, wmDeleteWindow_ = 0;
  int width_ = 0, height_ = 0;
  bool backValid_ = false;
  uint32_t colour_ = o_.colour;
  Pattern pattern_ = o_.pattern;
  bool mapped_ = false, ready_ = false, closed_ = false;
  Wait wait_ = Wait::none;
  std::string waitingFor_;
  std::string input_;
  double waitDeadline_ = 0;
  bool sawConfigure_ = false;
  double animateFps_ = 0, nextAnimate_ = 0;
  bool animateMove_ = false;
  int originX_ = 0, originY_ = 0;
  long tick_ = 0;
  int scroll_ = 0;
  bool counterOn_ = false;
  uint16_t counter_ = 0;
  int counterMinMs_ = 30, counterMaxMs_ = 200;
  double nextCounter_ = 0;
  std::mt19937 random_;
};

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  TestWindow window(parseOptions(argc, argv));
  return window.run();
}
