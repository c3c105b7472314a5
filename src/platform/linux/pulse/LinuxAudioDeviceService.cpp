#include "platform/linux/pulse/LinuxAudioDeviceService.hpp"

#include "platform/linux/pulse/LinuxCaptureSession.hpp"
#include "platform/linux/pulse/PulseIntrospection.hpp"

namespace qb {

using pulse::PulseMainLoop;

LinuxAudioDeviceService::LinuxAudioDeviceService(std::shared_ptr<pulse::PulseConnection> connection,
                                                 std::shared_ptr<Queue> events)
    : connection_(std::move(connection)),
      events_(std::move(events)),
      ids_(std::make_shared<pulse::DeviceIdMap>()),
      watcher_(pulse::PulseDeviceWatcher::create(connection_, events_, ids_)) {}

LinuxAudioDeviceService::~LinuxAudioDeviceService() = default;

std::optional<CaptureDevice> LinuxAudioDeviceService::defaultDevice() {
  PulseMainLoop::Lock lock(connection_->loop());
  auto server = pulse::readServerInfo(*connection_);
  if (!server || server->defaultSourceName.empty()) return std::nullopt;
  auto source = pulse::readSource(*connection_, server->defaultSourceName);
  // A monitor as default source means there is no microphone: recording it would put
  // the output's audio into the microphone channel.
  if (!source || !*source || (*source)->isMonitor) return std::nullopt;
  ids_->idFor((*source)->name);
  return CaptureDevice{(*source)->name, (*source)->description};
}

std::vector<CaptureDevice> LinuxAudioDeviceService::discoverDevices() {
  std::optional<std::vector<pulse::SourceInfo>> sources;
  {
    PulseMainLoop::Lock lock(connection_->loop());
    sources = pulse::readSources(*connection_);
  }
  std::vector<CaptureDevice> out;
  if (!sources) return out;
  for (auto& s : *sources) {
    if (s.isMonitor) continue;
    ids_->idFor(s.name);
    out.push_back(CaptureDevice{s.name, s.description});
  }
  return out;
}

InputResult LinuxAudioDeviceService::makeInput(const CaptureDevice& device) {
  std::optional<std::optional<pulse::SourceInfo>> source;
  {
    PulseMainLoop::Lock lock(connection_->loop());
    source = pulse::readSource(*connection_, device.uniqueID);
  }
  if (!source) {
    return {nullptr,
            PlatformError{kSoundServerUnavailable, "SoundServerErrorDomain", "The sound server is not reachable"}};
  }
  if (!*source || (*source)->isMonitor) {
    return {nullptr, PlatformError{kAudioBadObjectError, "SoundServerErrorDomain",
                                   "No capture device named " + device.uniqueID}};
  }
  return {std::make_shared<LinuxCaptureInput>(CaptureDevice{(*source)->name, (*source)->description}), {}};
}

std::shared_ptr<CaptureSession> LinuxAudioDeviceService::makeSession() {
  return LinuxCaptureSession::create(connection_, events_);
}

// ---- Device objects --------------------------------------------------------------------

PropertyRead<std::optional<pulse::SourceInfo>> LinuxAudioDeviceService::sourceFor(AudioObjectID id) {
  auto name = ids_->nameOf(id);
  if (!name) return {kAudioBadObjectError, std::nullopt};
  std::optional<std::optional<pulse::SourceInfo>> source;
  {
    PulseMainLoop::Lock lock(connection_->loop());
    source = pulse::readSource(*connection_, *name);
  }
  if (!source) return {kSoundServerUnavailable, std::nullopt};
  if (!*source || (*source)->isMonitor) return {kAudioBadObjectError, std::nullopt};
  return {0, std::move(*source)};
}

PropertyRead<AudioObjectID> LinuxAudioDeviceService::defaultInputDevice() {
  PulseMainLoop::Lock lock(connection_->loop());
  auto server = pulse::readServerInfo(*connection_);
  if (!server) return {kSoundServerUnavailable, 0};
  if (server->defaultSourceName.empty()) return {0, 0};
  auto source = pulse::readSource(*connection_, server->defaultSourceName);
  if (!source) return {kSoundServerUnavailable, 0};
  if (!*source || (*source)->isMonitor) return {0, 0};  // no microphone is the default
  return {0, ids_->idFor((*source)->name)};
}

PropertyRead<std::vector<AudioObjectID>> LinuxAudioDeviceService::deviceIDs() {
  std::optional<std::vector<pulse::SourceInfo>> sources;
  {
    PulseMainLoop::Lock lock(connection_->loop());
    sources = pulse::readSources(*connection_);
  }
  if (!sources) return {kSoundServerUnavailable, {}};
  std::vector<AudioObjectID> out;
  for (auto& s : *sources)
    if (!s.isMonitor) out.push_back(ids_->idFor(s.name));
  return {0, std::move(out)};
}

PropertyRead<std::string> LinuxAudioDeviceService::uid(AudioObjectID id) {
  auto s = sourceFor(id);
  if (!s.ok()) return {s.status, {}};
  return {0, s.value->name};
}

PropertyRead<std::string> LinuxAudioDeviceService::name(AudioObjectID id) {
  auto s = sourceFor(id);
  if (!s.ok()) return {s.status, {}};
  return {0, s.value->description};
}

PropertyRead<uint32_t> LinuxAudioDeviceService::isRunningSomewhere(AudioObjectID id, PropertyScope) {
  // A source has one state whatever the scope: running while anything records it.
  auto s = sourceFor(id);
  if (!s.ok()) return {s.status, 0};
  return {0, s.value->running ? 1u : 0u};
}

PropertyRead<uint32_t> LinuxAudioDeviceService::inputStreamCount(AudioObjectID id) {
  auto s = sourceFor(id);
  if (!s.ok()) return {s.status, 0};
  return {0, 1};
}

ListenerToken LinuxAudioDeviceService::listenDefaultInputDevice(std::function<void()> listener) {
  return watcher_->listenDefaultInput(std::move(listener));
}

ListenerToken LinuxAudioDeviceService::listenDeviceList(std::function<void()> listener) {
  return watcher_->listenDeviceList(std::move(listener));
}

ListenerToken LinuxAudioDeviceService::listenRunningSomewhere(AudioObjectID id, std::function<void()> listener) {
  return watcher_->listenRunning(id, std::move(listener));
}

}  // namespace qb
