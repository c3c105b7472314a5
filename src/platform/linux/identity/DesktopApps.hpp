#pragma once
// How Linux desktops name applications: the systemd unit or cgroup a launcher puts an
// application's processes in, and the application's .desktop entry. Pure parsing, plus a
// reader of the entries under the XDG application directories.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qb {

// The desktop application id of a process's cgroup path: the innermost
// "app-[<launcher>-]<id>-<n>.scope" or "app-[<launcher>-]<id>[@<n>].service" (the id
// unescaped, so "app-flatpak-org.example.App-12.scope" gives "org.example.App"), or
// "snap.<name>.<app>..." (giving "<name>_<app>", the name of the snap's desktop entry).
std::optional<std::string> applicationIdFromCgroup(std::string_view cgroupPath);

struct DesktopEntry {
  std::string id;    // the file name without ".desktop"
  std::string name;  // Name=
  std::string exec;  // the program of Exec= (or TryExec=), unquoted
};

// The [Desktop Entry] group of a .desktop file; none when it has no Name=.
std::optional<DesktopEntry> parseDesktopEntry(std::string_view id, std::string_view text);

// The entries of the given directories; an id found in an earlier directory hides later ones.
class DesktopEntries {
 public:
  explicit DesktopEntries(const std::vector<std::string>& dirs);
  const DesktopEntry* byId(const std::string& id) const;
  // The entry whose program is this executable, or lies in the same application directory.
  const DesktopEntry* byExecutable(const std::string& path) const;

 private:
  std::map<std::string, DesktopEntry> entries_;
};

}  // namespace qb
