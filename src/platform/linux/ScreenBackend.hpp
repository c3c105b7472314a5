#pragma once
// Which screen backend the helper uses, picked once at start from the session it runs in: the
// desktop portal with PipeWire on a Wayland session, X11 otherwise.

#include <memory>
#include <string_view>

#include "platform/Platform.hpp"

namespace qb::pulse {
class PulseConnection;
}

namespace qb {

class AppIdentity;

enum class ScreenSession { x11, wayland };

// A Wayland session is one with WAYLAND_DISPLAY set (not empty), or XDG_SESSION_TYPE
// "wayland"; the arguments are those variables' values, null when unset.
inline ScreenSession screenSessionOf(const char* waylandDisplay, const char* sessionType) {
  if (waylandDisplay && *waylandDisplay) return ScreenSession::wayland;
  if (sessionType && std::string_view(sessionType) == "wayland") return ScreenSession::wayland;
  return ScreenSession::x11;
}

// The screen service for this process's session; logs the choice once through `log`.
std::shared_ptr<ScreenCaptureService> makeScreenCaptureService(Executor& executor,
                                                               std::shared_ptr<pulse::PulseConnection> connection,
                                                               std::shared_ptr<Queue> events,
                                                               std::shared_ptr<AppIdentity> apps, LogFunction log);

}  // namespace qb
