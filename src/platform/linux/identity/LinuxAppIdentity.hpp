#pragma once
// Which desktop application a process belongs to, from what Linux keeps about it: the
// systemd scope or service a launcher started it in (also for sandboxed and snapped
// applications), else the directory its program lives in matched against the .desktop
// entries. Browsers and Electron applications record in helper processes of their own
// program; those are followed up to the process that started them.
//
// Thread-safe: one lock around the cached .desktop entries, held while a lookup reads
// /proc (short file reads, no waits).

#include <memory>
#include <mutex>

#include "platform/AppIdentity.hpp"
#include "platform/linux/identity/DesktopApps.hpp"
#include "platform/linux/identity/ProcFs.hpp"

namespace qb {

class LinuxAppIdentity final : public AppIdentity {
 public:
  explicit LinuxAppIdentity(IdentityRoots roots = IdentityRoots::fromEnvironment());

  std::optional<std::string> executablePath(int pid) override;
  // None for a process that is no desktop application (a command-line tool, a daemon).
  std::optional<AppInfo> applicationFor(int pid) override;
  // One entry per running application: the first process of each application scope.
  // Also re-reads the .desktop entries, so applications installed since are named.
  std::vector<AppInfo> runningApplications() override;

 private:
  int topLevelProcess(int pid) const;
  std::optional<AppInfo> fromScope(int pid) const;
  const DesktopEntries& entriesLocked();

  const IdentityRoots roots_;
  const ProcFs proc_;
  std::mutex mutex_;
  std::unique_ptr<DesktopEntries> entries_;
};

}  // namespace qb
