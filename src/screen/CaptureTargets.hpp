#pragma once
// The displays and windows a host may capture (LIST_WINDOWS).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/ScreenCaptureService.hpp"
#include "runtime/Executor.hpp"

namespace qb {

struct CaptureTarget {
  std::string type;  // "display" or "window"
  uint32_t id = 0;
  std::string name;
  std::string appName;
  std::optional<std::string> bundleId;  // windows only
  int64_t width = 0;
  int64_t height = 0;
};

// Every display, then every on-screen window that has a title, is larger than 100 x 100
// points, belongs to none of the system's own shell applications and is not a display
// backstop. A failed query is logged and gives an empty list.
std::vector<CaptureTarget> listCaptureTargets(Executor& executor, ScreenCaptureService& screen);

// Whether a window passes the listing's rules.
bool isListedWindow(const WindowInfo& window);

// Compact JSON array; text that is not valid UTF-8 (window titles may hold any bytes)
// comes out with replacement characters.
std::string captureTargetsJSON(const std::vector<CaptureTarget>& targets);

}  // namespace qb
