#pragma once
// The displays and windows of the X display, as the screen service offers them.
//
// Opens its connection on first use (nothing connects before a listing is asked for) and
// again after the old one broke. Thread-safe: queries may run in parallel and share the
// connection.

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/ScreenCaptureService.hpp"

namespace qb {

class AppIdentity;

namespace x11 {
class X11Connection;
}

class X11ShareableContent {
 public:
  // `apps` (may be null) names the applications that own windows; `displayName` empty
  // means DISPLAY.
  explicit X11ShareableContent(std::shared_ptr<AppIdentity> apps, std::string displayName = {});
  ~X11ShareableContent();

  // RandR monitors, primary first (ids: X11Displays.hpp), and the windows front to back
  // (X11Windows.hpp). None when no X server can be reached, with `why` set. Blocks for a
  // few round trips; any thread.
  std::optional<ShareableContent> query(bool onScreenWindowsOnly, std::string* why = nullptr);

 private:
  std::shared_ptr<x11::X11Connection> connection(std::string* why);
  void forget(const std::shared_ptr<x11::X11Connection>& broken);

  const std::shared_ptr<AppIdentity> apps_;
  const std::string displayName_;
  std::mutex mutex_;
  std::shared_ptr<x11::X11Connection> connection_;
};

}  // namespace qb
