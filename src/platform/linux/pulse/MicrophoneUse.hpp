#pragma once
// When a recording stream uses the source it records, and when it is an application using a
// microphone: one rule for the helper's device state (a microphone "running somewhere", which
// MIC_EVENT and the running-microphones sample report) and for the activity tool (which
// names the applications for MIC_APP_EVENT). Free of libpulse so that it can be tested
// without a server; PulseIntrospection reads the facts from the server.
//
// The server's own RUNNING state says less than this: volume controls keep peak meters open
// on every source, corked streams hold a source without taking its audio, and filters (echo
// cancellation, noise suppression) record the hardware microphone with streams of their own
// whether or not anyone uses the filtered source.

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/pulse/PulseDecisions.hpp"

namespace qb::pulse {

// The application id our own clients and record streams carry.
inline constexpr std::string_view kOwnApplicationId = "quellbrook";

using Properties = std::map<std::string, std::string>;

struct SourceFacts {
  uint32_t index = kNoIndex;
  uint32_t ownerModule = kNoIndex;  // the server module that made it, if any
  std::string linkGroup;            // the nodes of one filter share it (PipeWire)
  bool isMonitor = false;           // the monitor of an output
};

struct RecordingFacts {
  uint32_t source = kNoIndex;
  uint32_t client = kNoIndex;  // none: a stream of a server module
  uint32_t ownerModule = kNoIndex;
  std::string linkGroup;
  bool corked = false;
  bool peakMeter = false;       // resample method "peaks", stream.monitor, or a "Peak detect" stream
  bool capturesOutput = false;  // stream.capture.sink: PipeWire's capture of an output
  bool volumeControl = false;   // a volume control's: they meter every source, some with plain streams
  bool ours = false;            // carries our application id
};

// Adds what a stream's or its client's properties say (the stream's first: it has the link
// group; a client's may name the application where its streams do not).
inline void addPropertyFacts(RecordingFacts& f, const Properties& props) {
  auto prop = [&](const char* key) {
    auto it = props.find(key);
    return it == props.end() ? std::string() : it->second;
  };
  auto lower = [](std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
  };
  if (f.linkGroup.empty()) f.linkGroup = prop("node.link-group");
  f.peakMeter = f.peakMeter || prop("stream.monitor") == "true" || prop("media.name") == "Peak detect";
  f.capturesOutput = f.capturesOutput || prop("stream.capture.sink") == "true";
  const std::string appId = lower(prop("application.id"));
  f.ours = f.ours || appId == kOwnApplicationId;
  const std::string app =
      appId + "\n" + lower(prop("application.name")) + "\n" + lower(prop("application.process.binary"));
  for (std::string_view control : {"pavucontrol", "pwvucontrol", "volume control", "volumecontrol", "plasma-pa",
                                   "org.kde.plasma.volume", "mate-volume-control", "xfce4-pulseaudio-plugin"})
    f.volumeControl = f.volumeControl || app.find(control) != std::string::npos;
}

// Why the recording does not use its source at all, or none when it does.
inline std::optional<std::string_view> whyNoUse(const RecordingFacts& r, const std::vector<SourceFacts>& sources) {
  if (r.corked) return "corked";
  if (r.peakMeter) return "peak meter";
  if (r.volumeControl) return "volume control";
  const bool monitor = std::any_of(sources.begin(), sources.end(),
                                   [&](const SourceFacts& s) { return s.index == r.source && s.isMonitor; });
  if (r.capturesOutput || monitor) return "records an output";
  return std::nullopt;
}

// The sources a filter's recording feeds: the other sources of the module that records (a
// stream of a module, not of a client), or of its link group. Empty for any other recording.
inline std::vector<uint32_t> sourcesFedBy(const RecordingFacts& r, const std::vector<SourceFacts>& sources) {
  std::vector<uint32_t> feeds;
  for (const auto& s : sources) {
    if (s.index == r.source) continue;
    const bool sameModule = r.client == kNoIndex && r.ownerModule != kNoIndex && s.ownerModule == r.ownerModule;
    const bool sameGroup = !r.linkGroup.empty() && s.linkGroup == r.linkGroup;
    if (sameModule || sameGroup) feeds.push_back(s.index);
  }
  return feeds;
}

// Indexes of the sources in use. A filter's recording counts only while a source it feeds is
// in use; any other recording that uses its source counts (also a module's own, such as a
// loopback to the speakers, and ours).
inline std::set<uint32_t> sourcesInUse(const std::vector<SourceFacts>& sources,
                                       const std::vector<RecordingFacts>& recordings) {
  std::set<uint32_t> inUse;
  std::vector<std::pair<uint32_t, std::vector<uint32_t>>> filters;  // recorded source, sources it feeds
  for (const auto& r : recordings) {
    if (r.source == kNoIndex || whyNoUse(r, sources)) continue;
    auto feeds = sourcesFedBy(r, sources);
    if (feeds.empty())
      inUse.insert(r.source);
    else
      filters.emplace_back(r.source, std::move(feeds));
  }
  // Filters may feed filters: repeat until nothing changes.
  for (bool grew = true; grew;) {
    grew = false;
    for (const auto& [source, feeds] : filters) {
      if (inUse.count(source)) continue;
      if (std::any_of(feeds.begin(), feeds.end(), [&](uint32_t f) { return inUse.count(f) > 0; })) {
        inUse.insert(source);
        grew = true;
      }
    }
  }
  return inUse;
}

// Why the recording is not an application using a microphone, or none when it is: a use of
// its source by a client that is not a filter, not ours, and whose process (`hostPid`, where
// it could be vouched for) is known. `ownPids` are the activity tool's and the helper's.
inline std::optional<std::string_view> whyNotApplicationUse(const RecordingFacts& r,
                                                            const std::vector<SourceFacts>& sources,
                                                            std::optional<int> hostPid, std::array<int, 2> ownPids) {
  if (auto why = whyNoUse(r, sources)) return why;
  if (r.client == kNoIndex) return "server module";
  if (!sourcesFedBy(r, sources).empty()) return "filter";
  if (r.ours || (hostPid && std::find(ownPids.begin(), ownPids.end(), *hostPid) != ownPids.end())) return "ours";
  if (!hostPid) return "no process";
  return std::nullopt;
}

}  // namespace qb::pulse
