#pragma once
// The windows a user could pick for capture on an X11 display: the window manager's clients
// where one keeps the EWMH client list, else the mapped top-level windows (or their WM_STATE
// children) that carry a title or a class, so that a bare X server works too. Docks, panels,
// desktops, menus, tooltips, notifications, splash screens and drag icons are left out.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/AppIdentity.hpp"
#include "platform/ScreenCaptureService.hpp"

namespace qb {

namespace x11 {
class X11Connection;
}

struct X11Window {
  uint32_t id = 0;
  std::optional<std::string> title;  // valid UTF-8; _NET_WM_NAME, else WM_NAME
  // The window's own area in root coordinates, without the window manager's frame: what a
  // capture of the window shows.
  int x = 0, y = 0, width = 0, height = 0;
  bool onScreen = false;        // viewable, not hidden, and at least partly on the screen
  std::optional<int> pid;       // _NET_WM_PID, when the window's client runs on this machine
  std::string instance, klass;  // WM_CLASS (valid UTF-8; empty when not set)
};

// Front to back. With `onScreenOnly`, only windows with onScreen set. Sends its requests in
// a few batches (four to six round trips however many windows there are). Any thread;
// empty when the connection broke.
std::vector<X11Window> queryX11Windows(x11::X11Connection& connection, bool onScreenOnly);

// The application a window belongs to: `identity` (what AppIdentity says of the window's
// PID: the desktop application's id and name), filled in from WM_CLASS (id: the class in
// lower case, which is usually the desktop id; name: the class as set). None when neither
// tells anything.
std::optional<RunningApplication> applicationOf(const X11Window& window, const std::optional<AppInfo>& identity);

}  // namespace qb
