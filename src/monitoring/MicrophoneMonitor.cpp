#include "monitoring/MicrophoneMonitor.hpp"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "platform/DeviceQueries.hpp"
#include "wire/Output.hpp"

namespace qb {

namespace {

constexpr PrefixedLog log{"MicrophoneMonitor: "};

}  // namespace

std::shared_ptr<MicrophoneMonitor> MicrophoneMonitor::make(Executor& executor,
                                                           std::shared_ptr<AudioDeviceService> audio) {
  return std::make_shared<MicrophoneMonitor>(Token{}, executor, std::move(audio));
}

MicrophoneMonitor::MicrophoneMonitor(Token, Executor& executor, std::shared_ptr<AudioDeviceService> audio)
    : executor_(executor), audio_(std::move(audio)), queue_(executor.makeQueue("micmonitor")) {}

MicrophoneMonitor::~MicrophoneMonitor() { pollingTimer_.cancel(); }

void MicrophoneMonitor::startMonitoring() {
  queue_->sync([this] { start(); });
}

void MicrophoneMonitor::stopMonitoring() {
  queue_->sync([this] { stop(); });
}

void MicrophoneMonitor::start() {
  if (isMonitoring_) {
    log("Already monitoring");
    return;
  }
  isMonitoring_ = true;
  unavailable_ = false;
  log("Starting...");
  lastActiveDeviceID_ = 0;
  lastEmitTime_ = 0;
  lastEmitDeviceID_ = 0;
  lastEmitState_.clear();
  clearDeviceCache();

  currentDeviceID_ = getDefaultInputDevice();
  if (currentDeviceID_ == 0) {
    log("No default input device found");
    setAvailable(false);
    // The poll and the default-device listener start watching once there is one.
    listenForDefaultDeviceChanges();
    startPolling();
    return;
  }
  watch(currentDeviceID_);
}

void MicrophoneMonitor::watch(AudioObjectID id) {
  currentDeviceID_ = id;
  if (!deviceChangeListener_) listenForDefaultDeviceChanges();
  listenForDeviceRunning();
  listenForDeviceListChanges();

  // The host always receives the current state first.
  lastRunningState_ = checkDeviceRunningByID(currentDeviceID_);
  emitEvent(lastRunningState_ ? "active" : "inactive", currentDeviceID_);
  startPolling();
  log("Started monitoring device " + std::to_string(currentDeviceID_));
}

void MicrophoneMonitor::setAvailable(bool available) {
  if (available != unavailable_) return;
  unavailable_ = !available;
  sendEvent(available ? "MIC_MONITORING_RESUMED" : "MIC_MONITORING_UNAVAILABLE:noDefaultInputDevice");
}

void MicrophoneMonitor::stop() {
  if (!isMonitoring_) return;
  isMonitoring_ = false;
  pollingTimer_.cancel();
  pollingTimer_ = TaskHandle{};
  removeListeners();
  log("Stopped");
}

// ---- Device reads ------------------------------------------------------------------------

AudioObjectID MicrophoneMonitor::getDefaultInputDevice() {
  auto read = audio_->defaultInputDevice();
  if (!read.ok()) {
    log("Failed to get default input device: " + std::to_string(read.status));
    return 0;
  }
  return read.value;
}

bool MicrophoneMonitor::checkDeviceRunningByID(AudioObjectID id) { return isRunningInAnyScope(*audio_, id); }

std::vector<AudioObjectID> MicrophoneMonitor::getAllInputDeviceIDs() {
  std::vector<AudioObjectID> inputs;
  auto ids = audio_->deviceIDs();
  if (!ids.ok()) return inputs;
  for (AudioObjectID id : ids.value) {
    if (id == 0) continue;
    auto streams = audio_->inputStreamCount(id);
    if (streams.ok() && streams.value > 0) inputs.push_back(id);
  }
  return inputs;
}

const std::vector<AudioObjectID>& MicrophoneMonitor::getCachedInputDevices() {
  const double now = executor_.clock().now();
  if (!cachedInputDevices_.empty() && now - deviceCacheTime_ <= kDeviceCacheMaxAge) return cachedInputDevices_;
  cachedInputDevices_ = getAllInputDeviceIDs();
  deviceCacheTime_ = now;
  return cachedInputDevices_;
}

void MicrophoneMonitor::clearDeviceCache() {
  cachedInputDevices_.clear();
  deviceCacheTime_ = 0;
}

// ---- Listeners ---------------------------------------------------------------------------

std::function<void()> MicrophoneMonitor::hop(void (MicrophoneMonitor::*work)()) {
  std::weak_ptr<MicrophoneMonitor> weak = weak_from_this();
  return [weak, work] {
    auto self = weak.lock();
    if (!self) return;
    self->queue_->async([weak, work] {
      if (auto monitor = weak.lock()) ((*monitor).*work)();
    });
  };
}

void MicrophoneMonitor::listenForDefaultDeviceChanges() {
  deviceChangeListener_ = audio_->listenDefaultInputDevice(hop(&MicrophoneMonitor::defaultDeviceChanged));
}

void MicrophoneMonitor::listenForDeviceRunning() {
  if (currentDeviceID_ == 0) return;
  deviceRunningListener_ =
      audio_->listenRunningSomewhere(currentDeviceID_, hop(&MicrophoneMonitor::deviceRunningChanged));
}

void MicrophoneMonitor::listenForDeviceListChanges() {
  deviceListChangeListener_ = audio_->listenDeviceList(hop(&MicrophoneMonitor::clearDeviceCache));
}

void MicrophoneMonitor::removeDeviceRunningListener() {
  if (currentDeviceID_ != 0) deviceRunningListener_.reset();
}

void MicrophoneMonitor::removeListeners() {
  deviceChangeListener_.reset();
  if (currentDeviceID_ != 0) deviceRunningListener_.reset();
  deviceListChangeListener_.reset();
}

void MicrophoneMonitor::defaultDeviceChanged() {
  if (!isMonitoring_) return;
  const AudioObjectID fresh = getDefaultInputDevice();
  if (fresh == 0) {
    log("Default device changed to none");
    setAvailable(false);
    return;
  }
  setAvailable(true);
  if (currentDeviceID_ == 0) return watch(fresh);
  if (fresh == currentDeviceID_) return;
  log("Device changed " + std::to_string(currentDeviceID_) + " -> " + std::to_string(fresh));
  removeDeviceRunningListener();
  currentDeviceID_ = fresh;
  lastActiveDeviceID_ = 0;
  clearDeviceCache();
  emitEvent("device_changed", fresh);
  listenForDeviceRunning();
  lastRunningState_ = checkDeviceRunningByID(fresh);
  lastEmitTime_ = executor_.clock().now();
  emitEvent(lastRunningState_ ? "active" : "inactive", fresh);
  startPolling();
}

void MicrophoneMonitor::deviceRunningChanged() {
  // Every notification is reported: the listener fires on changes only.
  const bool running = checkDeviceRunningByID(currentDeviceID_);
  const char* state = running ? "active" : "inactive";
  lastRunningState_ = running;
  lastEmitTime_ = executor_.clock().now();
  lastEmitDeviceID_ = currentDeviceID_;
  lastEmitState_ = state;
  emitEvent(state, currentDeviceID_);
}

// ---- Poll --------------------------------------------------------------------------------

void MicrophoneMonitor::startPolling() {
  pollingTimer_.cancel();
  std::weak_ptr<MicrophoneMonitor> weak = weak_from_this();
  pollingTimer_ = scheduleRepeating(queue_, kPollInterval, kPollInterval, [weak] {
    if (auto self = weak.lock()) self->poll();
  });
}

void MicrophoneMonitor::poll() {
  if (!isMonitoring_) return;
  // Quietly, every poll: the log says it once, the events once per change.
  auto fresh = audio_->defaultInputDevice();
  const bool available = fresh.ok() && fresh.value != 0;
  setAvailable(available);
  if (currentDeviceID_ == 0) {
    if (available) watch(fresh.value);
    return;
  }
  const auto& devices = getCachedInputDevices();
  const AudioObjectID current = currentDeviceID_;
  const double now = executor_.clock().now();

  // The default device is reported by its running listener.
  if (std::find(devices.begin(), devices.end(), current) != devices.end() && checkDeviceRunningByID(current)) {
    lastRunningState_ = true;
    lastActiveDeviceID_ = current;
    return;
  }

  auto other = std::find_if(devices.begin(), devices.end(),
                            [&](AudioObjectID d) { return d != 0 && d != current && checkDeviceRunningByID(d); });
  if (other != devices.end()) {
    const AudioObjectID d = *other;
    const bool repeated = lastEmitState_ == "active" && lastEmitDeviceID_ == d && now - lastEmitTime_ < kRepeatWindow;
    const bool known = d == lastActiveDeviceID_ && lastRunningState_;
    lastRunningState_ = true;
    lastActiveDeviceID_ = d;
    if (repeated || known) return;
    lastEmitTime_ = now;
    lastEmitDeviceID_ = d;
    lastEmitState_ = "active";
    emitEvent("active", d);
    return;
  }

  if (!lastRunningState_) return;
  // Names the default device, whichever device stopped.
  lastRunningState_ = false;
  lastActiveDeviceID_ = 0;
  lastEmitTime_ = now;
  lastEmitDeviceID_ = current;
  lastEmitState_ = "inactive";
  emitEvent("inactive", current);
}

// ---- Events ------------------------------------------------------------------------------

void MicrophoneMonitor::emitEvent(std::string_view state, AudioObjectID deviceID) {
  if (deviceID == 0) {
    log("Skipping event emission for invalid deviceID=0");
    return;
  }
  auto name = audio_->name(deviceID);
  const std::string deviceName = name.ok() && !name.value.empty() ? name.value : "Unknown Device";
  nlohmann::json event = {{"state", state},
                          {"deviceId", std::to_string(deviceID)},
                          {"deviceName", deviceName},
                          {"timestamp", executor_.clock().now()}};
  std::string json;
  try {
    json = event.dump();
  } catch (const nlohmann::json::exception&) {  // a name that is not UTF-8
    return;
  }
  sendMicEvent(json);
}

}  // namespace qb
