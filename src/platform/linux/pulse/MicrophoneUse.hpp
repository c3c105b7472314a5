#pragma once
// Whether a recording stream is an application using a microphone, for the activity tool
// that tells the mic app detector about it. Free of libpulse so that it can be tested
// without a server.

#include <algorithm>
#include <array>
#include <cctype>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace qb::pulse {

// The application id our own clients and record streams carry.
inline constexpr std::string_view kOwnApplicationId = "quellbrook";

struct RecordingUseFacts {
  bool hasClient = false;  // false: a stream of a server module (a filter, a loopback)
  bool corked = false;
  bool peakMeter = false;
  bool recordsMonitor = false;  // the monitor of an output, or a capture of a sink
  std::map<std::string, std::string> streamProps;
  std::map<std::string, std::string> clientProps;
  std::optional<int> hostPid;  // the client's process, where it could be vouched for
};

// Why the stream is not an application using a microphone, or none when it is.
// `ownPids` are this tool's and the helper's processes.
inline std::optional<std::string_view> whyNotMicrophoneUse(const RecordingUseFacts& f, std::array<int, 2> ownPids) {
  auto prop = [&](std::string_view key) -> std::string {
    for (const auto* props : {&f.streamProps, &f.clientProps})
      if (auto it = props->find(std::string(key)); it != props->end()) return it->second;
    return {};
  };
  auto lower = [](std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
  };
  if (!f.hasClient) return "server module";
  if (f.corked) return "corked";
  if (f.peakMeter || prop("media.name") == "Peak detect") return "peak meter";
  if (f.recordsMonitor || prop("stream.capture.sink") == "true") return "records an output";
  const std::string appId = lower(prop("application.id"));
  if (appId == kOwnApplicationId) return "ours";
  if (f.hostPid && std::find(ownPids.begin(), ownPids.end(), *f.hostPid) != ownPids.end()) return "ours";
  // Volume controls meter every source; some do it with plain streams.
  const std::string app =
      appId + "\n" + lower(prop("application.name")) + "\n" + lower(prop("application.process.binary"));
  for (std::string_view control : {"pavucontrol", "pwvucontrol", "volume control", "volumecontrol", "plasma-pa",
                                   "org.kde.plasma.volume", "mate-volume-control", "xfce4-pulseaudio-plugin"})
    if (app.find(control) != std::string::npos) return "volume control";
  if (!f.hostPid) return "no process";
  return std::nullopt;
}

}  // namespace qb::pulse
