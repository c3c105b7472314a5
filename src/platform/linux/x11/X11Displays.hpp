#pragma once
// The monitors of an X11 display, as RandR describes them.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qb {

namespace x11 {
class X11Connection;
}

struct X11Monitor {
  uint32_t id = 0;  // the monitor's first output, or its name atom when it has none
  std::string name;
  int x = 0, y = 0;
  int width = 0, height = 0;
  bool primary = false;
};

// The monitors on `connection`, the primary one first (without one: the monitor at the
// origin), then in RandR's order. A server
// without RandR monitors yields its whole screen as one monitor (id = root window).
// Blocks for one round trip (two when names are wanted); any thread. Empty only when the
// connection broke.
std::vector<X11Monitor> queryX11Monitors(x11::X11Connection& connection, bool withNames = true);

// As above over a connection of its own to `displayName` (DISPLAY when empty). None when
// no X server can be reached, with `why` set.
std::optional<std::vector<X11Monitor>> queryX11Monitors(const std::string& displayName = {},
                                                        std::string* why = nullptr);

}  // namespace qb
