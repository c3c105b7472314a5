#include "platform/linux/identity/ProcFs.hpp"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace qb {

namespace {

std::optional<int> parsePid(std::string_view text) {
  int value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value <= 0) return std::nullopt;
  return value;
}

std::optional<std::string> readLink(const std::string& path) {
  std::error_code ec;
  auto target = std::filesystem::read_symlink(path, ec);
  if (ec) return std::nullopt;
  return target.string();
}

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// The value after "<key>:" in /proc/<pid>/status.
std::optional<std::string> statusField(const std::string& status, std::string_view key) {
  std::istringstream in(status);
  for (std::string line; std::getline(in, line);)
    if (line.size() > key.size() && line.compare(0, key.size(), key) == 0 && line[key.size()] == ':')
      return line.substr(key.size() + 1);
  return std::nullopt;
}

}  // namespace

IdentityRoots IdentityRoots::fromEnvironment() {
  IdentityRoots roots;
  roots.runtimeDir = env("XDG_RUNTIME_DIR");
  const std::string home = env("HOME");
  std::string dataHome = env("XDG_DATA_HOME");
  if (dataHome.empty() && !home.empty()) dataHome = home + "/.local/share";
  std::string dataDirs = env("XDG_DATA_DIRS");
  if (dataDirs.empty()) dataDirs = "/usr/local/share:/usr/share";
  if (!dataHome.empty()) {
    roots.applicationDirs.push_back(dataHome + "/applications");
    roots.applicationDirs.push_back(dataHome + "/flatpak/exports/share/applications");
  }
  std::istringstream dirs(dataDirs);
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (!dir.empty()) roots.applicationDirs.push_back(dir + "/applications");
  // Sandboxed and snapped applications export their entries here, also when the session
  // did not add these to XDG_DATA_DIRS.
  roots.applicationDirs.push_back("/var/lib/flatpak/exports/share/applications");
  roots.applicationDirs.push_back("/var/lib/snapd/desktop/applications");
  return roots;
}

std::optional<std::string> readTextFile(const std::string& path, size_t limit) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text(limit, '\0');
  in.read(text.data(), static_cast<std::streamsize>(limit));
  if (in.bad()) return std::nullopt;
  text.resize(static_cast<size_t>(in.gcount()));
  return text;
}

std::string baseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string dirName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string ProcFs::path(int pid, const char* entry) const { return root_ + "/" + std::to_string(pid) + "/" + entry; }

bool ProcFs::exists(int pid) const {
  std::error_code ec;
  return pid > 0 && std::filesystem::is_directory(root_ + "/" + std::to_string(pid), ec);
}

std::vector<int> ProcFs::pids() const {
  std::vector<int> out;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(root_, ec), end; !ec && it != end; it.increment(ec))
    if (auto pid = parsePid(it->path().filename().string())) out.push_back(*pid);
  std::sort(out.begin(), out.end());
  return out;
}

std::optional<std::string> ProcFs::exe(int pid) const {
  auto target = readLink(path(pid, "exe"));
  if (!target) return std::nullopt;
  constexpr std::string_view kDeleted = " (deleted)";
  if (target->ends_with(kDeleted)) target->resize(target->size() - kDeleted.size());
  return target;
}

std::optional<std::string> ProcFs::comm(int pid) const {
  auto text = readTextFile(path(pid, "comm"), 256);
  if (!text || text->empty()) return std::nullopt;
  if (text->back() == '\n') text->pop_back();
  return text;
}

std::vector<std::string> ProcFs::cmdline(int pid) const {
  std::vector<std::string> args;
  auto text = readTextFile(path(pid, "cmdline"));
  if (!text) return args;
  std::istringstream in(*text);
  for (std::string arg; std::getline(in, arg, '\0');) args.push_back(arg);
  return args;
}

std::optional<int> ProcFs::parent(int pid) const {
  auto status = readTextFile(path(pid, "status"));
  if (!status) return std::nullopt;
  auto field = statusField(*status, "PPid");
  if (!field) return std::nullopt;
  const size_t start = field->find_first_not_of(" \t");
  return start == std::string::npos ? std::nullopt : parsePid(std::string_view(*field).substr(start));
}

std::vector<int> ProcFs::nsPids(int pid) const {
  std::vector<int> out;
  auto status = readTextFile(path(pid, "status"));
  if (!status) return out;
  auto field = statusField(*status, "NSpid");
  if (!field) return out;
  std::istringstream in(*field);
  for (std::string word; in >> word;) {
    auto value = parsePid(word);
    if (!value) return {};
    out.push_back(*value);
  }
  return out;
}

std::optional<std::string> ProcFs::pidNamespace(int pid) const { return readLink(path(pid, "ns/pid")); }

std::optional<std::string> ProcFs::cgroup(int pid) const {
  auto text = readTextFile(path(pid, "cgroup"));
  if (!text) return std::nullopt;
  std::optional<std::string> systemd;
  std::istringstream in(*text);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("0::")) return line.substr(3);
    if (const size_t at = line.find(":name=systemd:"); at != std::string::npos) systemd = line.substr(at + 14);
  }
  return systemd;
}

std::optional<std::string> ProcFs::programName(int pid) const {
  if (auto path = exe(pid)) return baseName(*path);
  return comm(pid);
}

bool ProcFs::runs(int pid, const std::string& binary) const {
  if (binary.empty()) return false;
  const std::string name = baseName(binary);
  if (auto path = exe(pid)) {
    if (*path == binary || baseName(*path) == name) return true;
  }
  auto args = cmdline(pid);
  if (!args.empty() && (args[0] == binary || baseName(args[0]) == name)) return true;
  // comm holds at most 15 bytes of the name.
  auto shortName = comm(pid);
  return shortName && !shortName->empty() && name.compare(0, 15, *shortName) == 0;
}

}  // namespace qb
