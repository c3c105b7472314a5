#include "platform/linux/identity/LinuxAppIdentity.hpp"

#include <map>
#include <set>

namespace qb {

namespace {

// The program's name as a user knows it: "/opt/Meet/meet.bin" -> "meet".
std::string programTitle(const std::string& path) {
  std::string name = baseName(path);
  const size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name;
}

bool isHelperInvocation(const std::vector<std::string>& args) {
  for (size_t i = 1; i < args.size(); ++i)
    if (args[i].starts_with("--type=") || args[i] == "-contentproc") return true;
  return false;
}

}  // namespace

LinuxAppIdentity::LinuxAppIdentity(IdentityRoots roots) : roots_(std::move(roots)), proc_(roots_.proc) {}

const DesktopEntries& LinuxAppIdentity::entriesLocked() {
  if (!entries_) entries_ = std::make_unique<DesktopEntries>(roots_.applicationDirs);
  return *entries_;
}

std::optional<std::string> LinuxAppIdentity::executablePath(int pid) { return proc_.exe(pid); }

// Helper processes run the same program as the process that started them (or, as a
// "--type=" child, one beside it): the top of that chain is the application's process.
int LinuxAppIdentity::topLevelProcess(int pid) const {
  std::set<int> seen{pid};
  for (;;) {
    auto exe = proc_.exe(pid);
    auto parent = proc_.parent(pid);
    if (!exe || !parent || *parent <= 1 || !seen.insert(*parent).second) return pid;
    auto parentExe = proc_.exe(*parent);
    if (!parentExe) return pid;
    const bool sameProgram = *parentExe == *exe;
    const bool helperBeside = dirName(*parentExe) == dirName(*exe) && isHelperInvocation(proc_.cmdline(pid));
    if (!sameProgram && !helperBeside) return pid;
    pid = *parent;
  }
}

std::optional<AppInfo> LinuxAppIdentity::fromScope(int pid) const {
  auto cgroup = proc_.cgroup(pid);
  if (!cgroup) return std::nullopt;
  auto id = applicationIdFromCgroup(*cgroup);
  if (!id) return std::nullopt;
  AppInfo app;
  app.bundleIdentifier = *id;
  app.pid = pid;
  app.executablePath = proc_.exe(pid).value_or("");
  return app;
}

std::optional<AppInfo> LinuxAppIdentity::applicationFor(int pid) {
  if (!proc_.exists(pid)) return std::nullopt;
  const int top = topLevelProcess(pid);
  std::lock_guard lock(mutex_);
  const DesktopEntries& entries = entriesLocked();
  if (auto app = fromScope(top)) {
    if (const DesktopEntry* entry = entries.byId(app->bundleIdentifier))
      app->name = entry->name;
    else
      app->name = app->executablePath.empty() ? proc_.programName(top).value_or(app->bundleIdentifier)
                                              : programTitle(app->executablePath);
    return app;
  }
  auto exe = proc_.exe(top);
  if (!exe) return std::nullopt;
  if (const DesktopEntry* entry = entries.byExecutable(*exe)) return AppInfo{entry->id, entry->name, *exe, top};
  // No entry: a helper still counts under the program that started it.
  if (top != pid) return AppInfo{"path:" + *exe, programTitle(*exe), *exe, top};
  return std::nullopt;
}

std::vector<AppInfo> LinuxAppIdentity::runningApplications() {
  std::lock_guard lock(mutex_);
  entries_.reset();  // re-read: applications may have been installed since
  const DesktopEntries& entries = entriesLocked();
  std::map<std::string, AppInfo> byScope;  // cgroup path -> its first process
  for (int pid : proc_.pids()) {
    auto cgroup = proc_.cgroup(pid);
    if (!cgroup || byScope.count(*cgroup)) continue;
    auto app = fromScope(pid);
    if (!app) continue;
    if (const DesktopEntry* entry = entries.byId(app->bundleIdentifier))
      app->name = entry->name;
    else
      app->name = app->executablePath.empty() ? app->bundleIdentifier : programTitle(app->executablePath);
    byScope.emplace(*cgroup, std::move(*app));
  }
  std::vector<AppInfo> apps;
  for (auto& [scope, app] : byScope) apps.push_back(std::move(app));
  return apps;
}

}  // namespace qb
