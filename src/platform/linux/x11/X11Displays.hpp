#pragma once
// The monitors of an X11 display, as RandR describes them.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qb {

struct X11Monitor {
  uint32_t id = 0;  // the monitor's first output, or its name atom when it has none
  std::string name;
  int x = 0, y = 0;
  int width = 0, height = 0;
  bool primary = false;
};

// Connects to `displayName` (DISPLAY when empty) and lists its monitors, the primary one
// first, then in RandR's order. A server without RandR monitors yields its whole screen as
// one monitor (id = root window). None when no X server can be reached, with `why` set.
// Blocks for one round trip; any thread.
std::optional<std::vector<X11Monitor>> queryX11Monitors(const std::string& displayName = {},
                                                        std::string* why = nullptr);

}  // namespace qb
