#include "platform/sim/SimAppIdentity.hpp"

#include <algorithm>

namespace qb {

void SimAppIdentity::addApplication(const AppInfo& app) {
  std::lock_guard lock(mutex_);
  std::erase_if(apps_, [&](auto& a) { return a.pid == app.pid; });
  apps_.push_back(app);
  paths_[app.pid] = app.executablePath;
}

void SimAppIdentity::removeApplication(int pid) {
  std::lock_guard lock(mutex_);
  std::erase_if(apps_, [&](auto& a) { return a.pid == pid; });
  paths_.erase(pid);
}

void SimAppIdentity::addHelperProcess(int pid, const std::string& executablePath, int applicationPid) {
  std::lock_guard lock(mutex_);
  paths_[pid] = executablePath;
  helpers_[pid] = applicationPid;
}

void SimAppIdentity::addProcess(int pid, const std::string& executablePath) {
  std::lock_guard lock(mutex_);
  paths_[pid] = executablePath;
}

std::optional<std::string> SimAppIdentity::executablePath(int pid) {
  std::lock_guard lock(mutex_);
  auto it = paths_.find(pid);
  if (it == paths_.end()) return std::nullopt;
  return it->second;
}

std::optional<AppInfo> SimAppIdentity::applicationFor(int pid) {
  std::lock_guard lock(mutex_);
  auto h = helpers_.find(pid);
  const int appPid = h == helpers_.end() ? pid : h->second;
  auto it = std::find_if(apps_.begin(), apps_.end(), [&](auto& a) { return a.pid == appPid; });
  if (it == apps_.end()) return std::nullopt;
  return *it;
}

std::vector<AppInfo> SimAppIdentity::runningApplications() {
  std::lock_guard lock(mutex_);
  return apps_;
}

}  // namespace qb
