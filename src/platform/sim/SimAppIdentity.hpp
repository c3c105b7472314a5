#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/AppIdentity.hpp"

namespace qb {

// Scripted process identities. Thread-safe.
class SimAppIdentity final : public AppIdentity {
 public:
  // A running application; its pid resolves to it and to its executable path.
  void addApplication(const AppInfo& app);
  void removeApplication(int pid);
  // A helper process of an application (its own executable, the application's identity).
  void addHelperProcess(int pid, const std::string& executablePath, int applicationPid);
  // A process that is no application (a daemon, a command-line tool).
  void addProcess(int pid, const std::string& executablePath);

  std::optional<std::string> executablePath(int pid) override;
  std::optional<AppInfo> applicationFor(int pid) override;
  std::vector<AppInfo> runningApplications() override;

 private:
  std::mutex mutex_;
  std::vector<AppInfo> apps_;
  std::map<int, std::string> paths_;
  std::map<int, int> helpers_;  // helper pid -> application pid
};

}  // namespace qb
