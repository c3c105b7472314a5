#pragma once
// What the screen tests need of the test display (scripts/test-env): whether there is one,
// whether a window manager runs on it, and its RandR monitors.
//
// Tests that use it skip without DISPLAY:  eval "$(scripts/test-env start)" && build/linux_tests

#include <string>

#include "PulseTestEnv.hpp"

#define QB_REQUIRE_TEST_DISPLAY()                                                                      \
  do {                                                                                                 \
    if (::qb::testenv::envOr("DISPLAY").empty())                                                       \
      GTEST_SKIP() << "no test display: run eval \"$(scripts/test-env start)\" first (DISPLAY unset)"; \
  } while (0)

namespace qb::testenv {

inline std::string displayArg(const std::string& display) { return display.empty() ? "" : " -display " + display; }

// True when a window manager announces itself on the display (EWMH). A manager that ended
// may leave the announcement behind; its check window is then gone.
inline bool windowManagerRunning(const std::string& display = {}) {
  auto idOf = [](const std::optional<std::string>& out) -> std::string {
    if (!out) return {};
    const size_t at = out->find("window id # ");
    return at == std::string::npos ? std::string()
                                   : out->substr(at + 12, out->find_first_of(", \n", at + 12) - at - 12);
  };
  const std::string check = idOf(run("xprop" + displayArg(display) + " -root _NET_SUPPORTING_WM_CHECK"));
  return !check.empty() &&
         idOf(run("xprop" + displayArg(display) + " -id " + check + " _NET_SUPPORTING_WM_CHECK")) == check;
}

// A RandR monitor without an output, as `xrandr --setmonitor` makes one.
inline bool addMonitor(const std::string& name, int x, int y, int width, int height, const std::string& display = {}) {
  return run("xrandr" + displayArg(display) + " --setmonitor " + name + " " + std::to_string(width) + "/" +
             std::to_string(width / 4) + "x" + std::to_string(height) + "/" + std::to_string(height / 4) + "+" +
             std::to_string(x) + "+" + std::to_string(y) + " none")
      .has_value();
}
inline bool removeMonitor(const std::string& name, const std::string& display = {}) {
  return run("xrandr" + displayArg(display) + " --delmonitor " + name).has_value();
}

}  // namespace qb::testenv
