#include "platform/linux/pulse/LinuxAudioDeviceService.hpp"

#include "platform/linux/pulse/LinuxCaptureSession.hpp"
#include "platform/linux/pulse/PulseIntrospection.hpp"

namespace qb {

using pulse::PulseMainLoop;

LinuxAudioDeviceService::LinuxAudioDeviceService(std::shared_ptr<pulse::PulseConnection> connection,
                                                 std::shared_ptr<Queue> events)
    : connection_(std::move(connection)), events_(std::move(events)), ids_(std::make_shared<pulse::DeviceIdMap>()) {}

pulse::PulseDeviceWatcher& LinuxAudioDeviceService::watcher() {
  std::call_once(watcherMade_, [this] { watcher_ = pulse::PulseDeviceWatcher::create(connection_, events_, ids_); });
  return *watcher_;
}

LinuxAudioDeviceService::~LinuxAudioDeviceService() = default;

// Commands ask the server itself, so that a source made just before a command is found;
// only the device-object reads below, which a poll repeats, are served from the copy.
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

AudioDeviceService::ServerConnection LinuxAudioDeviceService::serverConnection() {
  PulseMainLoop::Lock lock(connection_->loop());
  return {connection_->isReady(), connection_->generation()};
}

// ---- Device objects --------------------------------------------------------------------

template <class T>
PropertyRead<T> LinuxAudioDeviceService::sourceProperty(
    AudioObjectID id, const std::function<T(const pulse::DeviceState&, const pulse::SourceInfo&)>& value) {
  PropertyRead<T> out{kSoundServerUnavailable, T{}};
  auto name = ids_->nameOf(id);
  if (!name) return {kAudioBadObjectError, T{}};
  watcher().read([&](const pulse::DeviceState& state) {
    const pulse::SourceInfo* source = state.find(*name);
    if (!source || source->isMonitor)
      out.status = kAudioBadObjectError;
    else
      out = {0, value(state, *source)};
  });
  return out;
}

PropertyRead<AudioObjectID> LinuxAudioDeviceService::defaultInputDevice() {
  PropertyRead<AudioObjectID> out{kSoundServerUnavailable, 0};
  watcher().read([&](const pulse::DeviceState& state) {
    const pulse::SourceInfo* source = state.find(state.defaultSource);
    // No microphone is the default while the default source is a monitor.
    out = {0, source && !source->isMonitor ? ids_->idFor(source->name) : 0};
  });
  return out;
}

PropertyRead<std::vector<AudioObjectID>> LinuxAudioDeviceService::deviceIDs() {
  PropertyRead<std::vector<AudioObjectID>> out{kSoundServerUnavailable, {}};
  watcher().read([&](const pulse::DeviceState& state) {
    out.status = 0;
    for (const auto& [index, s] : state.sources)
      if (!s.isMonitor) out.value.push_back(ids_->idFor(s.name));
  });
  return out;
}

PropertyRead<std::string> LinuxAudioDeviceService::uid(AudioObjectID id) {
  return sourceProperty<std::string>(id, [](const auto&, const pulse::SourceInfo& s) { return s.name; });
}

PropertyRead<std::string> LinuxAudioDeviceService::name(AudioObjectID id) {
  return sourceProperty<std::string>(id, [](const auto&, const pulse::SourceInfo& s) { return s.description; });
}

PropertyRead<uint32_t> LinuxAudioDeviceService::isRunningSomewhere(AudioObjectID id, PropertyScope) {
  // A source has one state whatever the scope: in use while something records it.
  return sourceProperty<uint32_t>(id, [](const pulse::DeviceState& state, const pulse::SourceInfo& s) {
    return state.inUse.count(s.name) ? 1u : 0u;
  });
}

PropertyRead<uint32_t> LinuxAudioDeviceService::inputStreamCount(AudioObjectID id) {
  return sourceProperty<uint32_t>(id, [](const auto&, const pulse::SourceInfo&) { return 1u; });
}

ListenerToken LinuxAudioDeviceService::listenDefaultInputDevice(std::function<void()> listener) {
  return watcher().listenDefaultInput(std::move(listener));
}

ListenerToken LinuxAudioDeviceService::listenDeviceList(std::function<void()> listener) {
  return watcher().listenDeviceList(std::move(listener));
}

ListenerToken LinuxAudioDeviceService::listenRunningSomewhere(AudioObjectID id, std::function<void()> listener) {
  return watcher().listenRunning(id, std::move(listener));
}

}  // namespace qb
