// What a window listing costs as windows add up: N top-level windows with a title, a class
// and a PID are opened on the display, then the listing of the real backend runs again and
// again. Printed per N: milliseconds per listing and per listed window, beside one round
// trip to the server: a listing that waited for each reply in turn would cost about a dozen
// round trips per window, which on a remote display is what counts.
//
//   bench_listing [--windows 10,100,500] [--repeat 20]
//
// Needs DISPLAY (eval "$(scripts/test-env start)"; with QB_TEST_ENV_WM=openbox, or after
// scripts/test-env start-wm, the windows are managed and listed from the client list).
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "platform/linux/x11/X11Connection.hpp"
#include "platform/linux/x11/X11ShareableContent.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Windows of our own, as small clients would make them; all go with the connection.
void openWindows(qb::x11::X11Connection& x, int count, int first) {
  xcb_connection_t* c = x.xcb();
  const xcb_atom_t netName = x.atom("_NET_WM_NAME"), utf8 = x.atom("UTF8_STRING"), pidAtom = x.atom("_NET_WM_PID");
  const uint32_t pid = uint32_t(::getpid());
  for (int i = first; i < first + count; ++i) {
    const xcb_window_t w = xcb_generate_id(c);
    const uint32_t values[] = {x.screen().black_pixel};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, w, x.root(), int16_t(20 + i % 50 * 30), int16_t(20 + i % 30 * 30), 320,
                      240, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, x.screen().root_visual, XCB_CW_BACK_PIXEL, values);
    const std::string title = "Bench window " + std::to_string(i);
    const char wmClass[] = "bench\0QbBench";
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, netName, utf8, 8, uint32_t(title.size()), title.data());
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, uint32_t(title.size()),
                        title.data());
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, sizeof wmClass, wmClass);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, pidAtom, XCB_ATOM_CARDINAL, 32, 1, &pid);
    xcb_map_window(c, w);
  }
  free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

double roundTripSeconds(qb::x11::X11Connection& x, int repeat) {
  const auto start = Clock::now();
  for (int i = 0; i < repeat; ++i) free(xcb_get_input_focus_reply(x.xcb(), xcb_get_input_focus(x.xcb()), nullptr));
  return secondsSince(start) / repeat;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> counts = {10, 100, 500};
  int repeat = 20;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--windows")) {
      counts.clear();
      std::stringstream list(argv[i + 1]);
      for (std::string n; std::getline(list, n, ',');) counts.push_back(std::atoi(n.c_str()));
    } else if (!std::strcmp(argv[i], "--repeat")) {
      repeat = std::max(1, std::atoi(argv[i + 1]));
    } else {
      std::fprintf(stderr, "usage: bench_listing [--windows 10,100,500] [--repeat 20]\n");
      return 2;
    }
  }
  std::string why;
  auto windows = qb::x11::X11Connection::open({}, &why);
  if (!windows) {
    std::fprintf(stderr, "bench_listing: no display (%s); run eval \"$(scripts/test-env start)\" first\n", why.c_str());
    return 1;
  }
  qb::X11ShareableContent content(nullptr);
  const size_t before = content.query(false).value_or(qb::ShareableContent{}).windows.size();
  std::printf("%8s %8s %12s %12s %12s\n", "windows", "listed", "ms/listing", "us/window", "rtt us");
  int opened = 0;
  for (int n : counts) {
    if (n > opened) openWindows(*windows, n - opened, opened);
    opened = std::max(opened, n);
    // A window manager frames new windows at its own pace: wait until it lists them all.
    size_t listed = 0;
    const auto waitStart = Clock::now();
    while ((listed = content.query(false).value_or(qb::ShareableContent{}).windows.size()) < before + size_t(opened) &&
           secondsSince(waitStart) < 30) {
    }
    const auto start = Clock::now();
    for (int i = 0; i < repeat; ++i) listed = content.query(false).value_or(qb::ShareableContent{}).windows.size();
    const double perListing = secondsSince(start) / repeat;
    const double rtt = roundTripSeconds(*windows, 200);
    std::printf("%8d %8zu %12.2f %12.1f %12.1f\n", opened, listed, perListing * 1e3,
                perListing * 1e6 / double(std::max<size_t>(listed, 1)), rtt * 1e6);
  }
  return 0;
}
