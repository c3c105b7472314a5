#include "platform/linux/x11/X11Displays.hpp"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <algorithm>

#include "platform/linux/x11/X11Connection.hpp"

namespace qb {

using x11::XcbReply;

namespace {

std::string atomName(xcb_connection_t* c, xcb_atom_t atom) {
  XcbReply<xcb_get_atom_name_reply_t> r(xcb_get_atom_name_reply(c, xcb_get_atom_name(c, atom), nullptr));
  if (!r) return {};
  return std::string(xcb_get_atom_name_name(r.get()), static_cast<size_t>(xcb_get_atom_name_name_length(r.get())));
}

}  // namespace

std::vector<X11Monitor> queryX11Monitors(x11::X11Connection& connection, bool withNames) {
  xcb_connection_t* c = connection.xcb();
  const xcb_screen_t& screen = connection.screen();
  std::vector<X11Monitor> out;
  if (connection.extensions().monitors()) {
    XcbReply<xcb_randr_get_monitors_reply_t> monitors(
        xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, screen.root, 1), nullptr));
    if (!monitors && connection.isLost()) return out;
    if (monitors) {
      for (auto m = xcb_randr_get_monitors_monitors_iterator(monitors.get()); m.rem; xcb_randr_monitor_info_next(&m)) {
        X11Monitor mon;
        const xcb_randr_monitor_info_t* info = m.data;
        mon.id = info->nOutput > 0 ? xcb_randr_monitor_info_outputs(info)[0] : info->name;
        // Monitors that share an output go by their names, which RandR keeps unique.
        if (std::any_of(out.begin(), out.end(), [&](const X11Monitor& o) { return o.id == mon.id; }))
          mon.id = info->name;
        if (withNames) mon.name = atomName(c, info->name);
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
    // The root window's size now, not the one from the connection setup: it may have changed.
    XcbReply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c, xcb_get_geometry(c, screen.root), nullptr));
    if (!g) return out;
    X11Monitor whole;
    whole.id = screen.root;
    whole.name = "screen";
    whole.width = g->width;
    whole.height = g->height;
    whole.primary = true;
    out.push_back(whole);
  }
  // Without a primary monitor RandR lists monitors added by hand before the others, so the
  // one at the origin stands in for it: the first display stays put as monitors come and go.
  if (std::none_of(out.begin(), out.end(), [](const X11Monitor& m) { return m.primary; })) {
    auto origin = std::find_if(out.begin(), out.end(), [](const X11Monitor& m) { return m.x == 0 && m.y == 0; });
    if (origin != out.end()) std::rotate(out.begin(), origin, origin + 1);
  }
  std::stable_partition(out.begin(), out.end(), [](const X11Monitor& m) { return m.primary; });
  return out;
}

std::optional<std::vector<X11Monitor>> queryX11Monitors(const std::string& displayName, std::string* why) {
  auto connection = x11::X11Connection::open(displayName, why);
  if (!connection) return std::nullopt;
  auto out = queryX11Monitors(*connection);
  if (out.empty()) {
    if (why) *why = "the connection to the X server broke";
    return std::nullopt;
  }
  return out;
}

}  // namespace qb
