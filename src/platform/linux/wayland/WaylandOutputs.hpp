#pragma once
// The outputs (monitors) a Wayland compositor announces, read from its registry. On Wayland a
// client cannot list other clients' windows: they are chosen in the desktop portal's dialog.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qb::wayland {

struct WaylandOutput {
  std::string name;  // "DP-1", "HEADLESS-1"; "<make> <model>" on compositors without output names
  int width = 0;     // the current mode, turned as the output is
  int height = 0;
};

// Connects to WAYLAND_DISPLAY (or `display`), reads the outputs in the registry's order and
// disconnects: a few round trips, on the calling thread. None, with the reason in `why`, when
// no compositor answers.
std::optional<std::vector<WaylandOutput>> queryWaylandOutputs(std::string* why, const std::string& display = {});

// An output's display id: the same for the same name on every run and every machine, never 0.
inline uint32_t outputDisplayId(std::string_view name) {
  uint32_t h = 2166136261u;  // FNV-1a
  for (unsigned char c : name) h = (h ^ c) * 16777619u;
  return h == 0 ? 1 : h;
}

}  // namespace qb::wayland
