#pragma once

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qb {

// The sound servers' own programs. None of them is an application using a microphone, and a
// client's connection may show one of them rather than the client (pipewire-pulse serves
// every PulseAudio-protocol client of PipeWire from its own process).
inline constexpr std::array<std::string_view, 4> kSoundServerPrograms = {"pulseaudio", "pipewire", "pipewire-pulse",
                                                                         "wireplumber"};
inline bool isSoundServerProgram(std::string_view name) {
  return std::find(kSoundServerPrograms.begin(), kSoundServerPrograms.end(), name) != kSoundServerPrograms.end();
}

struct AppInfo {
  std::string bundleIdentifier;  // desktop application id
  std::string name;
  std::string executablePath;
  int pid = 0;
};

// Who a process is, in desktop-application terms. Every method may be called from any
// thread, reads the system's current state (a short, bounded read) and keeps none.
class AppIdentity {
 public:
  virtual ~AppIdentity() = default;
  // None when the process is gone or cannot be inspected; the caller reports the pid
  // without a path.
  virtual std::optional<std::string> executablePath(int pid) = 0;
  // The application a process belongs to (helper processes map to their application).
  // None for a process that is gone or is no application; the caller then falls back to
  // what it knows (the executable path, the pid).
  virtual std::optional<AppInfo> applicationFor(int pid) = 0;
  // A snapshot of the running applications, possibly empty.
  virtual std::vector<AppInfo> runningApplications() = 0;
};

}  // namespace qb
