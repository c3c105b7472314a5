// What processes and sound-server clients say about themselves: /proc status, cgroup,
// command line and executable, a sandbox's files, .desktop entries, and the properties a
// client gives the sound server. Any of them may hold any bytes; the identity service must
// neither crash nor vouch for a process that is not there.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/linux/identity/DesktopApps.hpp"
#include "platform/linux/identity/LinuxAppIdentity.hpp"
#include "platform/linux/identity/SoundClientPid.hpp"
#include "platform/linux/pulse/MicrophoneUse.hpp"

namespace fs = std::filesystem;

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

void write(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// A machine in memory: process 100 (fuzzed) started by process 1, one sandbox instance.
const fs::path& machine() {
  static const fs::path root = [] {
    fs::path r = fs::path(fs::exists("/dev/shm") ? "/dev/shm" : fs::temp_directory_path()) /
                 ("qb-fuzz-identity-" + std::to_string(::getpid()));
    for (const char* dir : {"proc/1/ns", "proc/100/ns", "run/.flatpak/instance", "apps"})
      fs::create_directories(r / dir);
    for (const char* pid : {"1", "100"}) fs::create_symlink("pid:[4026531836]", r / "proc" / pid / "ns/pid");
    write(r / "proc/1/status", "Name:\tinit\nPPid:\t0\nNSpid:\t1\n");
    write(r / "machine-id", "0123456789abcdef0123456789abcdef\n");
    return r;
  }();
  return root;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Fields cut at 0xFF bytes: status, cgroup, cmdline, comm, exe target, bwrapinfo.json,
  // instance info, .desktop text, what the sound server says of a client.
  std::vector<std::string> f(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0xFF)
      f.emplace_back();
    else
      f.back().push_back(static_cast<char>(data[i]));
  }
  f.resize(9);
  const fs::path& root = machine();
  const fs::path proc = root / "proc/100";
  write(proc / "status", f[0]);
  write(proc / "cgroup", f[1]);
  write(proc / "cmdline", f[2]);
  write(proc / "comm", f[3]);
  std::error_code ec;
  fs::remove(proc / "exe", ec);
  if (!f[4].empty() && f[4].find('\0') == std::string::npos) fs::create_symlink(f[4], proc / "exe", ec);
  write(root / "run/.flatpak/instance/bwrapinfo.json", f[5]);
  write(root / "run/.flatpak/instance/info", f[6]);
  write(root / "apps/org.example.Fuzz.desktop", f[7]);

  qb::IdentityRoots roots;
  roots.proc = (root / "proc").string();
  roots.machineIdFile = (root / "machine-id").string();
  roots.runtimeDir = (root / "run").string();
  roots.applicationDirs = {(root / "apps").string()};

  const qb::ProcFs procFs(roots.proc);
  (void)procFs.parent(100);
  (void)procFs.nsPids(100);
  (void)procFs.cmdline(100);
  (void)procFs.programName(100);
  (void)procFs.runs(100, f[3]);
  if (auto cgroup = procFs.cgroup(100)) (void)qb::applicationIdFromCgroup(*cgroup);
  (void)qb::applicationIdFromCgroup(f[1]);
  if (auto entry = qb::parseDesktopEntry("org.example.Fuzz", f[7])) check(!entry->name.empty());

  qb::LinuxAppIdentity identity(roots);
  (void)identity.applicationFor(100);
  (void)identity.runningApplications();

  // What the sound server says of a client: its properties, one "key=value" a line, read by
  // the same rule as the activity tool's.
  qb::pulse::Properties props;
  for (size_t at = 0; at < f[8].size();) {
    size_t end = std::min(f[8].find('\n', at), f[8].size());
    std::string line = f[8].substr(at, end - at);
    size_t eq = line.find('=');
    if (eq != std::string::npos) props[line.substr(0, eq)] = line.substr(eq + 1);
    at = end + 1;
  }
  qb::pulse::RecordingFacts facts;
  qb::pulse::addPropertyFacts(facts, props);
  const auto claim = qb::SoundClientClaim::fromProperties(props);
  const auto pid = qb::hostPidOf(claim, roots);
  check(!pid || *pid == 1 || *pid == 100);  // only processes that are there
  return 0;
}
