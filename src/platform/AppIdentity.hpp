#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qb {

struct AppInfo {
  std::string bundleIdentifier;  // desktop application id
  std::string name;
  std::string executablePath;
  int pid = 0;
};

// Who a process is, in desktop-application terms. Every method may be called from any
// thread, reads the system's current state (a short, bounded read) and keeps none.
class AppIdentity {
 public:
  virtual ~AppIdentity() = default;
  // None when the process is gone or cannot be inspected; the caller reports the pid
  // without a path.
  virtual std::optional<std::string> executablePath(int pid) = 0;
  // The application a process belongs to (helper processes map to their application).
  // None for a process that is gone or is no application; the caller then falls back to
  // what it knows (the executable path, the pid).
  virtual std::optional<AppInfo> applicationFor(int pid) = 0;
  // A snapshot of the running applications, possibly empty.
  virtual std::vector<AppInfo> runningApplications() = 0;
};

}  // namespace qb
