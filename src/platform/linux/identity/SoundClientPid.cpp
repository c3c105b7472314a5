#include "platform/linux/identity/SoundClientPid.hpp"

#include <charconv>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <vector>

#include "platform/AppIdentity.hpp"

namespace qb {

namespace {

std::string trimmed(std::string text) {
  const size_t end = text.find_last_not_of(" \t\r\n");
  text.erase(end == std::string::npos ? 0 : end + 1);
  return text.substr(std::min(text.size(), text.find_first_not_of(" \t\r\n")));
}

// The application id in a sandbox instance's "info" key file ("name=" of [Application]).
std::string instanceAppId(const std::string& dir) {
  auto info = readTextFile(dir + "/info");
  if (!info) return {};
  bool inApplication = false;
  size_t start = 0;
  while (start < info->size()) {
    size_t end = info->find('\n', start);
    if (end == std::string::npos) end = info->size();
    const std::string line = trimmed(info->substr(start, end - start));
    start = end + 1;
    if (line.starts_with("["))
      inApplication = line == "[Application]";
    else if (inApplication && line.starts_with("name="))
      return trimmed(line.substr(5));
  }
  return {};
}

std::optional<int> instanceChildPid(const std::string& dir) {
  auto text = readTextFile(dir + "/bwrapinfo.json");
  if (!text) return std::nullopt;
  auto json = nlohmann::json::parse(*text, nullptr, false);
  if (!json.is_object()) return std::nullopt;
  auto pid = json.find("child-pid");
  if (pid == json.end() || !pid->is_number_integer()) return std::nullopt;
  return pid->get<int>();
}

// The host process that has `sandboxPid` in the PID namespace of the instance's sandbox.
std::optional<int> hostPidInInstance(const std::string& dir, const SoundClientClaim& claim, const ProcFs& proc) {
  auto child = instanceChildPid(dir);
  if (!child) return std::nullopt;
  auto ns = proc.pidNamespace(*child);
  if (!ns) return std::nullopt;
  std::optional<int> found;
  for (int pid : proc.pids()) {
    if (proc.pidNamespace(pid) != ns) continue;
    auto nested = proc.nsPids(pid);
    if (nested.empty() || nested.back() != *claim.statedPid) continue;
    if (!claim.binary.empty() && !proc.runs(pid, claim.binary)) continue;
    found = pid;
    break;
  }
  return found;
}

std::optional<int> hostPidInSandbox(const SoundClientClaim& claim, const IdentityRoots& roots, const ProcFs& proc) {
  if (!claim.statedPid || roots.runtimeDir.empty()) return std::nullopt;
  const std::string instances = roots.runtimeDir + "/.flatpak";
  if (!claim.sandboxInstance.empty()) {
    if (claim.sandboxInstance.find('/') != std::string::npos || claim.sandboxInstance.starts_with("."))
      return std::nullopt;
    return hostPidInInstance(instances + "/" + claim.sandboxInstance, claim, proc);
  }
  std::error_code ec;
  for (std::filesystem::directory_iterator it(instances, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string dir = it->path().string();
    if (!claim.sandboxAppId.empty() && instanceAppId(dir) != claim.sandboxAppId) continue;
    if (auto pid = hostPidInInstance(dir, claim, proc)) return pid;
  }
  return std::nullopt;
}

// By its executable or by its own name: pipewire-pulse runs the pipewire binary.
bool runsSoundServer(int pid, const ProcFs& proc) {
  auto program = proc.programName(pid);
  auto comm = proc.comm(pid);
  return (program && isSoundServerProgram(*program)) || (comm && isSoundServerProgram(*comm));
}

std::optional<int> positiveInt(const std::map<std::string, std::string>& props, const char* key) {
  auto it = props.find(key);
  if (it == props.end()) return std::nullopt;
  int value = 0;
  auto [end, error] = std::from_chars(it->second.data(), it->second.data() + it->second.size(), value);
  if (error != std::errc() || end != it->second.data() + it->second.size() || value <= 0) return std::nullopt;
  return value;
}

}  // namespace

SoundClientClaim SoundClientClaim::fromProperties(const std::map<std::string, std::string>& props) {
  auto text = [&](const char* key) {
    auto it = props.find(key);
    return it == props.end() ? std::string() : it->second;
  };
  SoundClientClaim claim;
  claim.statedPid = positiveInt(props, "application.process.id");
  claim.binary = text("application.process.binary");
  claim.machineId = text("application.process.machine_id");
  claim.serverPid = positiveInt(props, "pipewire.sec.pid");
  claim.sandboxAppId = text("pipewire.access.portal.app_id");
  claim.sandboxInstance = text("pipewire.access.portal.instance_id");
  return claim;
}

std::optional<int> hostPidOf(const SoundClientClaim& claim, const IdentityRoots& roots) {
  const ProcFs proc(roots.proc);
  if (claim.serverPid && proc.exists(*claim.serverPid) && !runsSoundServer(*claim.serverPid, proc))
    return claim.serverPid;
  // A PID stated from inside a sandbox means nothing on the host.
  if (claim.statedPid && claim.sandboxAppId.empty() && claim.sandboxInstance.empty()) {
    bool sameMachine = true;
    if (!claim.machineId.empty()) {
      auto ours = readTextFile(roots.machineIdFile, 256);
      sameMachine = ours && trimmed(*ours) == trimmed(claim.machineId);
    }
    // Without a binary to compare there is nothing to tell a reused PID by; a client
    // that names none is taken at its word.
    if (sameMachine && proc.exists(*claim.statedPid) &&
        (claim.binary.empty() || proc.runs(*claim.statedPid, claim.binary)))
      return claim.statedPid;
  }
  return hostPidInSandbox(claim, roots, proc);
}

}  // namespace qb
