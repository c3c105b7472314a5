#pragma once
// The windows a user could pick for capture on an X11 display: the window manager's clients
// where one keeps the EWMH client list, else the mapped top-level windows (or their WM_STATE
// children) that carry a title or a class, so that a bare X server works too. Docks, panels,
// desktops, menus, tooltips, notifications, splash screens and drag icons are left out.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/AppIdentity.hpp"
#include "platform/ScreenCaptureService.hpp"
#include "platform/linux/x11/X11Text.hpp"

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

// The text and owner properties of a window as its client set them: any bytes at all.
struct X11WindowProperties {
  std::optional<std::string_view> netWmName;                             // _NET_WM_NAME, when of type UTF8_STRING
  std::optional<std::pair<x11::TextEncoding, std::string_view>> wmName;  // WM_NAME in its encoding
  std::string_view wmClass;                                              // "instance\0class\0"
  std::vector<uint32_t> pid;                                             // _NET_WM_PID
  std::string_view clientMachine;                                        // WM_CLIENT_MACHINE
};
// Fills the title, WM_CLASS names and PID of `window` from its properties: valid UTF-8 of
// bounded length, and a PID only when the client runs on `localHost` (or does not say).
// Pure: any thread.
void applyX11WindowProperties(X11Window& window, const X11WindowProperties& properties, std::string_view localHost);

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
