#pragma once
// What the Wayland screen tests need of the screen-sharing stack of scripts/test-env
// (start-portal): whether it runs, and the test portal's controls and counts.
//
// Tests that use it skip without it:  eval "$(scripts/test-env start-portal)"

#include <map>
#include <sstream>
#include <string>

#include "PulseTestEnv.hpp"

#define QB_REQUIRE_TEST_PORTAL()                                                                      \
  do {                                                                                                \
    if (::qb::testenv::envOr("QB_TEST_PORTAL").empty())                                               \
      GTEST_SKIP() << "no screen-sharing stack: run eval \"$(scripts/test-env start-portal)\" first"; \
  } while (0)

namespace qb::testenv {

// The test portal's answer to `command` (see tools/testbed/qb-test-portal.cpp): "ok", the status
// line or "error: ...". Straight over the bus, so that a test can paint many times a second.
inline std::string portalAnswer(const std::string& command) {
  std::string quoted;
  for (char c : command) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return run("busctl --user call org.freedesktop.impl.portal.desktop.qbtest /org/quellbrook/TestPortal "
             "org.quellbrook.TestPortal Control s '" +
             quoted + "'")
      .value_or("error: no answer");
}
inline bool portal(const std::string& command) { return portalAnswer(command).find("error") == std::string::npos; }

// The test portal's counts: sessions, nodes, streaming, choosers, restored, screenshots.
inline std::map<std::string, int> portalStatus() {
  std::map<std::string, int> counts;
  std::string line = portalAnswer("status");
  for (char& c : line)
    if (c == '"') c = ' ';
  std::istringstream in(line);
  for (std::string field; in >> field;)
    if (auto eq = field.find('='); eq != std::string::npos && field.substr(0, eq) != "node_ids")
      counts[field.substr(0, eq)] = std::atoi(field.c_str() + eq + 1);
  return counts;
}

}  // namespace qb::testenv
