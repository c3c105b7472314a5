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

// Who a process is, in desktop-application terms.
class AppIdentity {
 public:
  virtual ~AppIdentity() = default;
  virtual std::optional<std::string> executablePath(int pid) = 0;
  // The application a process belongs to (helper processes map to their application).
  virtual std::optional<AppInfo> applicationFor(int pid) = 0;
  virtual std::vector<AppInfo> runningApplications() = 0;
};

}  // namespace qb
