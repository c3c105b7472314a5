#include "platform/linux/x11/X11Displays.hpp"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace qb {

namespace {

struct ConnectionCloser {
  void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter>;

std::string atomName(xcb_connection_t* c, xcb_atom_t atom) {
  Reply<xcb_get_atom_name_reply_t> r(xcb_get_atom_name_reply(c, xcb_get_atom_name(c, atom), nullptr));
  if (!r) return {};
  return std::string(xcb_get_atom_name_name(r.get()), static_cast<size_t>(xcb_get_atom_name_name_length(r.get())));
}

}  // namespace

std::optional<std::vector<X11Monitor>> queryX11Monitors(const std::string& displayName, std::string* why) {
  const char* env = std::getenv("DISPLAY");
  if (displayName.empty() && (!env || !*env)) {
    if (why) *why = "DISPLAY is not set";
    return std::nullopt;
  }
  int screenNumber = 0;
  std::unique_ptr<xcb_connection_t, ConnectionCloser> c(
      xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber));
  if (!c || xcb_connection_has_error(c.get())) {
    if (why) *why = "cannot connect to the X server";
    return std::nullopt;
  }
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c.get()));
  for (int i = 0; i < screenNumber && it.rem; ++i) xcb_screen_next(&it);
  if (!it.rem) {
    if (why) *why = "the X server has no such screen";
    return std::nullopt;
  }
  const xcb_screen_t* screen = it.data;

  std::vector<X11Monitor> out;
  Reply<xcb_randr_query_version_reply_t> version(
      xcb_randr_query_version_reply(c.get(), xcb_randr_query_version(c.get(), 1, 5), nullptr));
  if (version && (version->major_version > 1 || version->minor_version >= 5)) {
    Reply<xcb_randr_get_monitors_reply_t> monitors(
        xcb_randr_get_monitors_reply(c.get(), xcb_randr_get_monitors(c.get(), screen->root, 1), nullptr));
    if (monitors) {
      for (auto m = xcb_randr_get_monitors_monitors_iterator(monitors.get()); m.rem; xcb_randr_monitor_info_next(&m)) {
        X11Monitor mon;
        const xcb_randr_monitor_info_t* info = m.data;
        mon.id = info->nOutput > 0 ? xcb_randr_monitor_info_outputs(info)[0] : info->name;
        mon.name = atomName(c.get(), info->name);
        mon.x = info->x;
        mon.y = info->y;
        mon.width = info->width;
        mon.height = info->height;
        mon.primary = info->primary != 0;
        out.push_back(std::move(mon));
      }
    }
  }
  if (out.empty()) {
    X11Monitor whole;
    whole.id = screen->root;
    whole.name = "screen";
    whole.width = screen->width_in_pixels;
    whole.height = screen->height_in_pixels;
    whole.primary = true;
    out.push_back(whole);
  }
  std::stable_partition(out.begin(), out.end(), [](const X11Monitor& m) { return m.primary; });
  return out;
}

}  // namespace qb
