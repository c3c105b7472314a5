#pragma once
// Reads of the server's sources, sinks and defaults, as plain copies.
//
// The asynchronous reads are for code on the loop thread (or holding the lock): `done`
// runs once on the loop thread when the answer arrives, and never when the connection
// drops first. The synchronous reads wait (bounded) and are for other threads holding the
// lock. None of them keeps a libpulse pointer past the callback.

#include <pulse/channelmap.h>
#include <pulse/context.h>
#include <pulse/introspect.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/pulse/MicrophoneUse.hpp"
#include "platform/linux/pulse/PulseConnection.hpp"
#include "platform/linux/pulse/PulseDecisions.hpp"

namespace qb::pulse {

struct SourceInfo {
  uint32_t index = 0;
  std::string name;
  std::string description;
  bool isMonitor = false;  // the monitor of an output, not a capture device
  std::string monitorOfSinkName;
  bool running = false;  // the server's RUNNING state (a peak meter is enough for it)
  uint32_t ownerModule = kNoIndex;
  std::string linkGroup;
  SampleKind kind = SampleKind::other;
  uint32_t rate = 0;
  uint32_t channels = 0;
  pa_channel_map channelMap{};

  SourceFacts facts() const { return {index, ownerModule, linkGroup, isMonitor}; }
};

// A recording stream (source output).
struct RecordingInfo {
  uint32_t index = kNoIndex;
  RecordingFacts facts;
};

struct SinkInfo {
  uint32_t index = 0;
  std::string name;
  std::string monitorSourceName;
};

struct ServerInfo {
  std::string defaultSinkName;
  std::string defaultSourceName;
};

// A proplist as a plain copy.
Properties properties(const pa_proplist* list);
// What the microphone-use rule needs of a recording stream, from the stream alone (its
// client's properties may add to it: addPropertyFacts).
RecordingFacts recordingFacts(const pa_source_output_info& info);
SourceInfo sourceInfo(const pa_source_info& info);

// Asynchronous; lock held (normally on the loop thread).
void fetchServerInfo(pa_context* c, std::function<void(std::optional<ServerInfo>)> done);
void fetchSources(pa_context* c, std::function<void(std::optional<std::vector<SourceInfo>>)> done);
// none when the source does not exist (or the read failed).
void fetchSource(pa_context* c, uint32_t index, std::function<void(std::optional<SourceInfo>)> done);
void fetchSource(pa_context* c, const std::string& name, std::function<void(std::optional<SourceInfo>)> done);
void fetchRecordings(pa_context* c, std::function<void(std::optional<std::vector<RecordingInfo>>)> done);
// none when the recording does not exist (or the read failed).
void fetchRecording(pa_context* c, uint32_t index, std::function<void(std::optional<RecordingInfo>)> done);
void fetchSink(pa_context* c, const std::string& name, std::function<void(std::optional<SinkInfo>)> done);

// Synchronous; lock held, not on the loop thread. Each first waits up to `connectWait`
// for a ready connection, then up to `timeout` for the answer; none on failure.
struct SyncRead {
  double connectWait = 1.0;
  double timeout = 2.0;
};
std::optional<ServerInfo> readServerInfo(PulseConnection& conn, SyncRead limits = {});
std::optional<std::vector<SourceInfo>> readSources(PulseConnection& conn, SyncRead limits = {});
// Outer none: the read failed; inner none: no such source.
std::optional<std::optional<SourceInfo>> readSource(PulseConnection& conn, const std::string& name,
                                                    SyncRead limits = {});

}  // namespace qb::pulse
