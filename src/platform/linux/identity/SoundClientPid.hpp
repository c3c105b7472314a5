#pragma once
// The host process behind a sound-server client. Clients state their own PID, and a
// sandboxed one states the PID it has inside its sandbox (a Flatpak application often
// says 2, which on the host is a kernel thread), so a stated PID is trusted only after it
// was checked, and the server's own knowledge wins where it has any.

#include <map>
#include <optional>
#include <string>

#include "platform/linux/identity/ProcFs.hpp"

namespace qb {

struct SoundClientClaim {
  std::optional<int> statedPid;  // application.process.id
  std::string binary;            // application.process.binary
  std::string machineId;         // application.process.machine_id
  // pipewire.sec.pid: from the socket, not from the client; for a client of PipeWire's
  // PulseAudio server it is that server's own process, which says nothing of the client.
  std::optional<int> serverPid;
  std::string sandboxAppId;     // pipewire.access.portal.app_id
  std::string sandboxInstance;  // the sandbox instance, where the server names it

  // From a client's properties.
  static SoundClientClaim fromProperties(const std::map<std::string, std::string>& props);
};

// A PID that exists in the host's /proc, or none when no process can be vouched for.
std::optional<int> hostPidOf(const SoundClientClaim& claim, const IdentityRoots& roots);

}  // namespace qb
