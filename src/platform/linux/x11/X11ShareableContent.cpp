#include "platform/linux/x11/X11ShareableContent.hpp"

#include <map>

#include "platform/AppIdentity.hpp"
#include "platform/linux/x11/X11Connection.hpp"
#include "platform/linux/x11/X11Displays.hpp"
#include "platform/linux/x11/X11Windows.hpp"

namespace qb {

X11ShareableContent::X11ShareableContent(std::shared_ptr<AppIdentity> apps, std::string displayName)
    : apps_(std::move(apps)), displayName_(std::move(displayName)) {}

X11ShareableContent::~X11ShareableContent() = default;

std::shared_ptr<x11::X11Connection> X11ShareableContent::connection(std::string* why) {
  std::lock_guard lock(mutex_);
  if (connection_ && !connection_->isLost()) return connection_;
  connection_.reset();
  // Opening blocks for a few round trips; parallel first queries wait for one connection
  // rather than each opening their own.
  connection_ = x11::X11Connection::open(displayName_, why);
  return connection_;
}

void X11ShareableContent::forget(const std::shared_ptr<x11::X11Connection>& broken) {
  std::lock_guard lock(mutex_);
  if (connection_ == broken) connection_.reset();
}

std::optional<ShareableContent> X11ShareableContent::query(bool onScreenWindowsOnly, std::string* why) {
  // A connection that broke since the last query (a restarted server) is replaced once.
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto x = connection(why);
    if (!x) return std::nullopt;
    auto monitors = queryX11Monitors(*x, false);
    auto windows = queryX11Windows(*x, onScreenWindowsOnly);
    if (monitors.empty() || x->isLost()) {
      forget(x);
      if (why) *why = "the connection to the X server broke";
      continue;
    }
    ShareableContent content;
    for (const X11Monitor& m : monitors) content.displays.push_back(DisplayInfo{m.id, m.width, m.height});
    std::map<int, std::optional<AppInfo>> identities;  // one lookup per process
    for (const X11Window& w : windows) {
      WindowInfo info;
      info.windowID = w.id;
      info.title = w.title;
      info.frame = Rect{double(w.x), double(w.y), double(w.width), double(w.height)};
      info.isOnScreen = w.onScreen;
      std::optional<AppInfo> identity;
      if (w.pid && apps_) {
        auto it = identities.find(*w.pid);
        if (it == identities.end()) it = identities.emplace(*w.pid, apps_->applicationFor(*w.pid)).first;
        identity = it->second;
      }
      info.owningApplication = applicationOf(w, identity);
      content.windows.push_back(std::move(info));
    }
    return content;
  }
  return std::nullopt;
}

}  // namespace qb
