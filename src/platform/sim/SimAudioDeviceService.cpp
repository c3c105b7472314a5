#include "platform/sim/SimAudioDeviceService.hpp"

#include <algorithm>
#include <cmath>

#include "platform/sim/SimCaptureSession.hpp"

namespace qb {

namespace {

int scopeIndex(PropertyScope s) { return static_cast<int>(s); }

constexpr PropertyScope kScopes[] = {PropertyScope::global, PropertyScope::input, PropertyScope::output};

}  // namespace

SimAudioDeviceService::SimAudioDeviceService(Executor& executor)
    : executor_(executor),
      notifyQueue_(executor.makeQueue("sim.audio.notify")),
      generatorQueue_(executor.makeQueue("sim.audio.device")) {}

SimAudioDeviceService::~SimAudioDeviceService() {
  for (auto& d : devices_) d.toneTimer.cancel();
}

// --- Devices ---------------------------------------------------------------------

AudioObjectID SimAudioDeviceService::addDevice(const SimAudioDeviceSpec& spec) {
  Announce a;
  a.deviceList = true;
  AudioObjectID id;
  {
    std::lock_guard lock(mutex_);
    Device* d = findLocked(spec.uniqueID);
    if (!d) {
      auto [it, inserted] = idsByUid_.try_emplace(spec.uniqueID, nextId_);
      if (inserted) ++nextId_;
      devices_.push_back(Device{});
      d = &devices_.back();
      d->id = it->second;
    }
    d->spec = spec;
    d->inputStreams = spec.input ? 1 : 0;
    id = d->id;
    // A first microphone becomes the default, as a desktop sound server makes it.
    if (spec.input && !defaultUid_) {
      defaultUid_ = spec.uniqueID;
      a.defaultDevice = true;
    }
    updateToneTimerLocked(*d);
  }
  announce(a);
  return id;
}

AudioObjectID SimAudioDeviceService::addMicrophone(const std::string& uniqueID, const std::string& name,
                                                   const StreamDescription& format) {
  SimAudioDeviceSpec spec;
  spec.uniqueID = uniqueID;
  spec.name = name;
  spec.format = format;
  return addDevice(spec);
}

AudioObjectID SimAudioDeviceService::addOutputDevice(const std::string& uniqueID, const std::string& name) {
  SimAudioDeviceSpec spec;
  spec.uniqueID = uniqueID;
  spec.name = name;
  spec.input = false;
  return addDevice(spec);
}

void SimAudioDeviceService::removeDevice(const std::string& uniqueID) {
  Announce a;
  {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(devices_.begin(), devices_.end(), [&](auto& d) { return d.spec.uniqueID == uniqueID; });
    if (it == devices_.end()) return;
    it->toneTimer.cancel();
    devices_.erase(it);
    a.deviceList = true;
    if (defaultUid_ == uniqueID) {
      defaultUid_.reset();
      for (auto& d : devices_)
        if (d.spec.input) {
          defaultUid_ = d.spec.uniqueID;
          break;
        }
      a.defaultDevice = true;
    }
  }
  PlatformError lost{kDeviceDisconnectedCode, "SimAudio", "The device " + uniqueID + " was disconnected"};
  for (auto& s : liveSessions())
    if (s->isRunning() && s->recordingDevice() == uniqueID) s->runtimeError(lost, true);
  announce(a);
}

void SimAudioDeviceService::setDefaultDevice(const std::optional<std::string>& uniqueID) {
  Announce a;
  {
    std::lock_guard lock(mutex_);
    if (uniqueID) {
      const Device* d = findLocked(*uniqueID);
      if (!d || !d->spec.input) return;
    }
    if (defaultUid_ == uniqueID) return;
    defaultUid_ = uniqueID;
    a.defaultDevice = true;
  }
  announce(a);
}

std::optional<AudioObjectID> SimAudioDeviceService::idOf(const std::string& uniqueID) const {
  std::lock_guard lock(mutex_);
  const Device* d = findLocked(uniqueID);
  if (!d) return std::nullopt;
  return d->id;
}

void SimAudioDeviceService::setDeviceFormat(const std::string& uniqueID, const StreamDescription& format) {
  std::lock_guard lock(mutex_);
  if (Device* d = findLocked(uniqueID)) d->spec.format = format;
}

void SimAudioDeviceService::setInputStreamCount(const std::string& uniqueID, uint32_t count) {
  std::lock_guard lock(mutex_);
  if (Device* d = findLocked(uniqueID)) d->inputStreams = count;
}

// --- Running state -----------------------------------------------------------------

void SimAudioDeviceService::setRunningSomewhere(const std::string& uniqueID, PropertyScope scope, bool running) {
  Announce a;
  {
    std::lock_guard lock(mutex_);
    Device* d = findLocked(uniqueID);
    if (!d) return;
    auto before = runningSnapshotLocked(*d);
    d->explicitRunning[scopeIndex(scope)] = running;
    if (runningSnapshotLocked(*d) != before) a.running.push_back(d->id);
  }
  announce(a);
}

int SimAudioDeviceService::recordingSessionCount(const std::string& uniqueID) const {
  std::lock_guard lock(mutex_);
  const Device* d = findLocked(uniqueID);
  return d ? d->recordingSessions : 0;
}

void SimAudioDeviceService::sessionStartedRecording(const std::string& uniqueID) {
  Announce a;
  {
    std::lock_guard lock(mutex_);
    Device* d = findLocked(uniqueID);
    if (!d) return;
    auto before = runningSnapshotLocked(*d);
    ++d->recordingSessions;
    if (runningSnapshotLocked(*d) != before) a.running.push_back(d->id);
    updateToneTimerLocked(*d);
  }
  announce(a);
}

void SimAudioDeviceService::sessionStoppedRecording(const std::string& uniqueID) {
  Announce a;
  {
    std::lock_guard lock(mutex_);
    Device* d = findLocked(uniqueID);
    if (!d || d->recordingSessions == 0) return;
    auto before = runningSnapshotLocked(*d);
    --d->recordingSessions;
    if (runningSnapshotLocked(*d) != before) a.running.push_back(d->id);
    updateToneTimerLocked(*d);
  }
  announce(a);
}

// --- Faults ------------------------------------------------------------------------

void SimAudioDeviceService::setAccessGranted(bool granted) {
  std::lock_guard lock(mutex_);
  accessGranted_ = granted;
}

void SimAudioDeviceService::failPropertyRead(SimAudioProperty property, int32_t status, const std::string& uniqueID,
                                             std::optional<PropertyScope> scope) {
  std::lock_guard lock(mutex_);
  propertyFailures_.push_back({property, uniqueID, scope, status});
}

void SimAudioDeviceService::clearPropertyFailures() {
  std::lock_guard lock(mutex_);
  propertyFailures_.clear();
}

void SimAudioDeviceService::failInputCreation(const std::string& uniqueID, const PlatformError& error) {
  std::lock_guard lock(mutex_);
  inputFailures_[uniqueID] = error;
}

void SimAudioDeviceService::clearInputCreationFailures() {
  std::lock_guard lock(mutex_);
  inputFailures_.clear();
}

void SimAudioDeviceService::failSessionStart(bool fail, const std::string& uniqueID) {
  std::lock_guard lock(mutex_);
  std::erase(startFailures_, uniqueID);
  if (fail) startFailures_.push_back(uniqueID);
}

void SimAudioDeviceService::setCanAddInput(bool can) {
  std::lock_guard lock(mutex_);
  canAddInput_ = can;
}

void SimAudioDeviceService::setCanAddAudioDataOutput(bool can) {
  std::lock_guard lock(mutex_);
  canAddOutput_ = can;
}

void SimAudioDeviceService::setSessionStartDelay(double seconds) {
  std::lock_guard lock(mutex_);
  startDelay_ = seconds;
}

bool SimAudioDeviceService::sessionMayStart(const std::string& uniqueID) const {
  std::lock_guard lock(mutex_);
  if (!serverUp_) return false;
  if (!uniqueID.empty()) {
    const Device* d = findLocked(uniqueID);
    if (!d || !d->spec.input) return false;
  }
  for (auto& f : startFailures_)
    if (f.empty() || f == uniqueID) return false;
  return true;
}

bool SimAudioDeviceService::canAddInput() const {
  std::lock_guard lock(mutex_);
  return canAddInput_;
}

bool SimAudioDeviceService::canAddAudioDataOutput() const {
  std::lock_guard lock(mutex_);
  return canAddOutput_;
}

double SimAudioDeviceService::sessionStartDelay() const {
  std::lock_guard lock(mutex_);
  return startDelay_;
}

void SimAudioDeviceService::countSessionStart(bool started) {
  std::lock_guard lock(mutex_);
  ++counters_.sessionStartAttempts;
  if (started) ++counters_.sessionsStarted;
}

void SimAudioDeviceService::countSessionStop() {
  std::lock_guard lock(mutex_);
  ++counters_.sessionStops;
}

// --- Audio -------------------------------------------------------------------------

void SimAudioDeviceService::deliver(const std::string& uniqueID, const AudioSampleBuffer& buffer) {
  for (auto& s : liveSessions())
    if (s->recordingDevice() == uniqueID) s->deliver(buffer);
}

void SimAudioDeviceService::setTone(const std::string& uniqueID, double frequency, double amplitude, double interval) {
  std::lock_guard lock(mutex_);
  Device* d = findLocked(uniqueID);
  if (!d) return;
  double phase = d->tone ? d->tone->phase : 0;
  d->tone = Tone{frequency, amplitude, interval > 0 ? interval : 0.02, phase};
  d->toneTimer.cancel();  // restarted with the new interval
  d->toneTimer = TaskHandle{};
  updateToneTimerLocked(*d);
}

void SimAudioDeviceService::stopTone(const std::string& uniqueID) {
  std::lock_guard lock(mutex_);
  Device* d = findLocked(uniqueID);
  if (!d) return;
  d->tone.reset();
  updateToneTimerLocked(*d);
}

AudioSampleBuffer SimAudioDeviceService::toneBuffer(const std::string& uniqueID, size_t frames, double frequency,
                                                    double amplitude) const {
  StreamDescription format;
  {
    std::lock_guard lock(mutex_);
    const Device* d = findLocked(uniqueID);
    if (!d) return {};
    format = d->spec.format;
  }
  double phase = 0;
  return sineBuffer(format, frames, frequency, amplitude, phase);
}

void SimAudioDeviceService::updateToneTimerLocked(Device& d) {
  const bool want = d.tone && d.recordingSessions > 0 && serverUp_;
  if (want && !d.toneTimer.valid()) {
    std::weak_ptr<SimAudioDeviceService> weak = weak_from_this();
    std::string uid = d.spec.uniqueID;
    d.toneTimer = scheduleRepeating(generatorQueue_, d.tone->interval, d.tone->interval, [weak, uid] {
      if (auto self = weak.lock()) self->generateTone(uid);
    });
  } else if (!want && d.toneTimer.valid()) {
    d.toneTimer.cancel();
    d.toneTimer = TaskHandle{};
  }
}

void SimAudioDeviceService::generateTone(const std::string& uniqueID) {
  AudioSampleBuffer buffer;
  {
    std::lock_guard lock(mutex_);
    Device* d = findLocked(uniqueID);
    if (!d || !d->tone || d->recordingSessions == 0) return;
    auto frames = static_cast<size_t>(std::lround(d->spec.format.sampleRate * d->tone->interval));
    buffer = sineBuffer(d->spec.format, frames, d->tone->frequency, d->tone->amplitude, d->tone->phase);
  }
  // The buffer ends now.
  buffer.captureTimeUs = captureClockUs(executor_.clock()) -
                         std::llround(static_cast<double>(buffer.numSamples) * 1e6 / buffer.description->sampleRate);
  deliver(uniqueID, buffer);
}

// --- Notifications -----------------------------------------------------------------

void SimAudioDeviceService::postRuntimeError(const std::string& uniqueID, const std::optional<PlatformError>& error,
                                             bool stopsSession) {
  for (auto& s : liveSessions())
    if (s->isRunning() && (uniqueID.empty() || s->recordingDevice() == uniqueID)) s->runtimeError(error, stopsSession);
}

void SimAudioDeviceService::interrupt(const std::string& uniqueID, const std::string& userInfo) {
  for (auto& s : liveSessions())
    if (s->isRunning() && (uniqueID.empty() || s->recordingDevice() == uniqueID)) s->interrupted(userInfo);
}

void SimAudioDeviceService::endInterruption(const std::string& uniqueID, bool resume) {
  for (auto& s : liveSessions())
    if (s->isInterrupted() && (uniqueID.empty() || s->recordingDevice() == uniqueID)) s->interruptionEnded(resume);
}

void SimAudioDeviceService::serverDown() {
  {
    std::lock_guard lock(mutex_);
    if (!serverUp_) return;
    serverUp_ = false;
  }
  interrupt("", "sound server connection lost");
  Announce a;
  a.deviceList = true;
  a.defaultDevice = true;
  announce(a);
}

void SimAudioDeviceService::serverUp() {
  {
    std::lock_guard lock(mutex_);
    if (serverUp_) return;
    serverUp_ = true;
    ++connectionsMade_;
    for (auto& d : devices_) updateToneTimerLocked(d);
  }
  Announce a;
  a.deviceList = true;
  a.defaultDevice = true;
  announce(a);
  endInterruption("", true);
}

bool SimAudioDeviceService::isServerUp() const {
  std::lock_guard lock(mutex_);
  return serverUp_;
}

AudioDeviceService::ServerConnection SimAudioDeviceService::serverConnection() {
  std::lock_guard lock(mutex_);
  return {serverUp_, connectionsMade_};
}

// --- Inspection --------------------------------------------------------------------

SimAudioDeviceService::Counters SimAudioDeviceService::counters() const {
  std::lock_guard lock(mutex_);
  Counters c = counters_;
  c.buffersDelivered = deliveredBuffers_.load();
  return c;
}

size_t SimAudioDeviceService::listenerCount() const { return listeners_.size(); }

// --- AudioDeviceService ------------------------------------------------------------

bool SimAudioDeviceService::requestAccess() {
  std::lock_guard lock(mutex_);
  ++counters_.accessRequests;
  return accessGranted_;
}

std::optional<CaptureDevice> SimAudioDeviceService::defaultDevice() {
  std::lock_guard lock(mutex_);
  if (!serverUp_ || !defaultUid_) return std::nullopt;
  const Device* d = findLocked(*defaultUid_);
  if (!d) return std::nullopt;
  return CaptureDevice{d->spec.uniqueID, d->spec.name};
}

std::vector<CaptureDevice> SimAudioDeviceService::discoverDevices() {
  std::lock_guard lock(mutex_);
  std::vector<CaptureDevice> out;
  if (!serverUp_) return out;
  for (bool external : {false, true})
    for (auto& d : devices_)
      if (d.spec.input && d.spec.external == external) out.push_back({d.spec.uniqueID, d.spec.name});
  return out;
}

InputResult SimAudioDeviceService::makeInput(const CaptureDevice& device) {
  std::lock_guard lock(mutex_);
  for (auto& key : {device.uniqueID, std::string()}) {
    auto it = inputFailures_.find(key);
    if (it != inputFailures_.end()) return {nullptr, it->second};
  }
  const Device* d = serverUp_ ? findLocked(device.uniqueID) : nullptr;
  if (!d || !d->spec.input)
    return {nullptr, {kDeviceNotConnectedCode, "SimAudio", "The device " + device.uniqueID + " is not connected"}};
  ++counters_.inputsCreated;
  return {std::make_shared<SimCaptureInput>(CaptureDevice{d->spec.uniqueID, d->spec.name}), {}};
}

std::shared_ptr<CaptureSession> SimAudioDeviceService::makeSession() {
  auto session = std::make_shared<SimCaptureSession>(weak_from_this());
  std::lock_guard lock(mutex_);
  std::erase_if(sessions_, [](auto& w) { return w.expired(); });
  sessions_.push_back(session);
  ++counters_.sessionsCreated;
  return session;
}

PropertyRead<AudioObjectID> SimAudioDeviceService::defaultInputDevice() {
  std::lock_guard lock(mutex_);
  if (!serverUp_) return {kAudioBadObjectError, 0};
  if (auto f = failureLocked(SimAudioProperty::defaultInputDevice, {}, std::nullopt)) return {*f, 0};
  const Device* d = defaultUid_ ? findLocked(*defaultUid_) : nullptr;
  return {0, d ? d->id : 0};
}

PropertyRead<std::vector<AudioObjectID>> SimAudioDeviceService::deviceIDs() {
  std::lock_guard lock(mutex_);
  if (!serverUp_) return {kAudioBadObjectError, {}};
  if (auto f = failureLocked(SimAudioProperty::deviceIDs, {}, std::nullopt)) return {*f, {}};
  std::vector<AudioObjectID> ids;
  for (auto& d : devices_) ids.push_back(d.id);
  return {0, ids};
}

PropertyRead<std::string> SimAudioDeviceService::uid(AudioObjectID id) {
  std::lock_guard lock(mutex_);
  const Device* d = serverUp_ ? findLocked(id) : nullptr;
  if (!d) return {kAudioBadObjectError, {}};
  if (auto f = failureLocked(SimAudioProperty::uid, d->spec.uniqueID, std::nullopt)) return {*f, {}};
  return {0, d->spec.uniqueID};
}

PropertyRead<std::string> SimAudioDeviceService::name(AudioObjectID id) {
  std::lock_guard lock(mutex_);
  const Device* d = serverUp_ ? findLocked(id) : nullptr;
  if (!d) return {kAudioBadObjectError, {}};
  if (auto f = failureLocked(SimAudioProperty::name, d->spec.uniqueID, std::nullopt)) return {*f, {}};
  return {0, d->spec.name};
}

PropertyRead<uint32_t> SimAudioDeviceService::isRunningSomewhere(AudioObjectID id, PropertyScope scope) {
  std::lock_guard lock(mutex_);
  const Device* d = serverUp_ ? findLocked(id) : nullptr;
  if (!d) return {kAudioBadObjectError, 0};
  if (auto f = failureLocked(SimAudioProperty::isRunningSomewhere, d->spec.uniqueID, scope)) return {*f, 0};
  return {0, runningValueLocked(*d, scope)};
}

PropertyRead<uint32_t> SimAudioDeviceService::inputStreamCount(AudioObjectID id) {
  std::lock_guard lock(mutex_);
  const Device* d = serverUp_ ? findLocked(id) : nullptr;
  if (!d) return {kAudioBadObjectError, 0};
  if (auto f = failureLocked(SimAudioProperty::inputStreamCount, d->spec.uniqueID, std::nullopt)) return {*f, 0};
  return {0, d->inputStreams};
}

ListenerToken SimAudioDeviceService::listenDefaultInputDevice(std::function<void()> listener) {
  return addListener(ListenerKind::defaultDevice, 0, std::move(listener));
}

ListenerToken SimAudioDeviceService::listenDeviceList(std::function<void()> listener) {
  return addListener(ListenerKind::deviceList, 0, std::move(listener));
}

ListenerToken SimAudioDeviceService::listenRunningSomewhere(AudioObjectID id, std::function<void()> listener) {
  return addListener(ListenerKind::running, id, std::move(listener));
}

// --- Internals ---------------------------------------------------------------------

SimAudioDeviceService::Device* SimAudioDeviceService::findLocked(const std::string& uniqueID) {
  for (auto& d : devices_)
    if (d.spec.uniqueID == uniqueID) return &d;
  return nullptr;
}

const SimAudioDeviceService::Device* SimAudioDeviceService::findLocked(const std::string& uniqueID) const {
  for (auto& d : devices_)
    if (d.spec.uniqueID == uniqueID) return &d;
  return nullptr;
}

const SimAudioDeviceService::Device* SimAudioDeviceService::findLocked(AudioObjectID id) const {
  for (auto& d : devices_)
    if (d.id == id) return &d;
  return nullptr;
}

std::optional<int32_t> SimAudioDeviceService::failureLocked(SimAudioProperty p, const std::string& uniqueID,
                                                            std::optional<PropertyScope> scope) const {
  for (auto& f : propertyFailures_) {
    if (f.property != p) continue;
    if (!f.uniqueID.empty() && f.uniqueID != uniqueID) continue;
    if (f.scope && f.scope != scope) continue;
    return f.status;
  }
  return std::nullopt;
}

uint32_t SimAudioDeviceService::runningValueLocked(const Device& d, PropertyScope scope) const {
  if (d.explicitRunning[scopeIndex(scope)]) return 1;
  return d.recordingSessions > 0 && scope != PropertyScope::output ? 1 : 0;
}

std::vector<uint32_t> SimAudioDeviceService::runningSnapshotLocked(const Device& d) const {
  std::vector<uint32_t> v;
  for (auto s : kScopes) v.push_back(runningValueLocked(d, s));
  return v;
}

std::vector<std::shared_ptr<SimCaptureSession>> SimAudioDeviceService::liveSessions() const {
  std::vector<std::shared_ptr<SimCaptureSession>> out;
  std::lock_guard lock(mutex_);
  for (auto& w : sessions_)
    if (auto s = w.lock()) out.push_back(std::move(s));
  return out;
}

ListenerToken SimAudioDeviceService::addListener(ListenerKind kind, AudioObjectID id, std::function<void()> callback) {
  return listeners_.add({kind, id}, std::move(callback));
}

void SimAudioDeviceService::announce(const Announce& a) {
  listeners_.notify(*notifyQueue_, [&a](const ListenerKey& l) {
    return (l.kind == ListenerKind::deviceList && a.deviceList) ||
           (l.kind == ListenerKind::defaultDevice && a.defaultDevice) ||
           (l.kind == ListenerKind::running && std::count(a.running.begin(), a.running.end(), l.id) > 0);
  });
}

}  // namespace qb
