#pragma once
// What /proc tells about a process, read from a root that tests replace with a fixture tree.
// Every reader returns none (or empty) for a process that is gone or hidden from us.

#include <optional>
#include <string>
#include <vector>

namespace qb {

// Where identity lookups read the machine. Defaults are the live system's.
struct IdentityRoots {
  std::string proc = "/proc";
  std::string machineIdFile = "/etc/machine-id";
  std::string runtimeDir;  // $XDG_RUNTIME_DIR: sandbox instances live under .flatpak/
  // Directories holding .desktop entries, most important first.
  std::vector<std::string> applicationDirs;

  static IdentityRoots fromEnvironment();
};

class ProcFs {
 public:
  explicit ProcFs(std::string root) : root_(std::move(root)) {}

  bool exists(int pid) const;
  std::vector<int> pids() const;
  // The executable's path, without the " (deleted)" of a replaced binary.
  std::optional<std::string> exe(int pid) const;
  std::optional<std::string> comm(int pid) const;
  std::vector<std::string> cmdline(int pid) const;
  std::optional<int> parent(int pid) const;
  // The PID in each nested PID namespace, the host's first.
  std::vector<int> nsPids(int pid) const;
  // Identifies the process's PID namespace ("pid:[4026531836]").
  std::optional<std::string> pidNamespace(int pid) const;
  // The unified (v2) cgroup path, else the systemd hierarchy's.
  std::optional<std::string> cgroup(int pid) const;
  // The program's own name: the executable's file name, else comm.
  std::optional<std::string> programName(int pid) const;
  // Whether the process runs `binary` (a name or a path, as a sound-server client reports it).
  bool runs(int pid, const std::string& binary) const;

 private:
  std::string path(int pid, const char* entry) const;
  std::string root_;
};

std::optional<std::string> readTextFile(const std::string& path, size_t limit = 64 * 1024);
std::string baseName(const std::string& path);
std::string dirName(const std::string& path);  // empty for a bare name

}  // namespace qb
