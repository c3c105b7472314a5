#include "platform/linux/pulse/PulseDeviceWatcher.hpp"

#include <algorithm>
#include <iterator>
#include <vector>

#include "runtime/Executor.hpp"

namespace qb::pulse {

const SourceInfo* DeviceState::find(const std::string& name) const {
  for (const auto& [index, s] : sources)
    if (s.name == name) return &s;
  return nullptr;
}

std::shared_ptr<PulseDeviceWatcher> PulseDeviceWatcher::create(std::shared_ptr<PulseConnection> connection,
                                                               std::shared_ptr<Queue> events,
                                                               std::shared_ptr<DeviceIdMap> ids) {
  std::shared_ptr<PulseDeviceWatcher> w(
      new PulseDeviceWatcher(std::move(connection), std::move(events), std::move(ids)));
  PulseMainLoop::Lock lock(w->connection_->loop());
  w->registration_ = w->connection_->addObserver(w.get());
  // Already connected: learn the current state now, quietly.
  if (pa_context* c = w->connection_->context()) w->connectionReady(c, false);
  return w;
}

PulseDeviceWatcher::PulseDeviceWatcher(std::shared_ptr<PulseConnection> connection, std::shared_ptr<Queue> events,
                                       std::shared_ptr<DeviceIdMap> ids)
    : connection_(std::move(connection)), events_(std::move(events)), ids_(std::move(ids)) {}

PulseDeviceWatcher::~PulseDeviceWatcher() { registration_.reset(); }

bool PulseDeviceWatcher::read(const std::function<void(const DeviceState&)>& read, double seconds) {
  PulseMainLoop::Lock lock(connection_->loop());
  // Without a server there is nothing to wait for (the connection bounds that wait); with
  // one, its first answers come quickly.
  if (!synced_ &&
      !(connection_->waitReady(seconds) && connection_->loop().waitUntil([this] { return synced_; }, seconds)))
    return false;
  read(state_);
  return true;
}

// ---- Listeners -------------------------------------------------------------------------

ListenerToken PulseDeviceWatcher::listenDefaultInput(std::function<void()> listener) {
  return add(Kind::defaultInput, 0, std::move(listener));
}

ListenerToken PulseDeviceWatcher::listenDeviceList(std::function<void()> listener) {
  return add(Kind::deviceList, 0, std::move(listener));
}

ListenerToken PulseDeviceWatcher::listenRunning(AudioObjectID device, std::function<void()> listener) {
  return add(Kind::running, device, std::move(listener));
}

ListenerToken PulseDeviceWatcher::add(Kind kind, AudioObjectID device, std::function<void()> listener) {
  uint64_t id;
  {
    std::lock_guard lock(mutex_);
    id = nextListener_++;
    listeners_.emplace(id, Listener{kind, device, std::move(listener)});
  }
  return ListenerToken([weak = weak_from_this(), id] {
    if (auto self = weak.lock()) {
      std::lock_guard lock(self->mutex_);
      self->listeners_.erase(id);
    }
  });
}

void PulseDeviceWatcher::fire(Kind kind, AudioObjectID device) {
  // The listeners of the moment of the change: one added after it, before the event queue
  // gets to it, does not hear of a change it never saw.
  std::vector<uint64_t> ids;
  {
    std::lock_guard lock(mutex_);
    for (auto& [id, l] : listeners_)
      if (l.kind == kind && (kind != Kind::running || l.device == device)) ids.push_back(id);
  }
  if (ids.empty()) return;
  events_->async([weak = weak_from_this(), ids = std::move(ids)] {
    auto self = weak.lock();
    if (!self) return;
    // Each listener is looked up again right before its call, so one removed meanwhile
    // (even by an earlier listener) stays silent.
    for (uint64_t id : ids) {
      std::function<void()> call;
      {
        std::lock_guard lock(self->mutex_);
        auto it = self->listeners_.find(id);
        if (it == self->listeners_.end()) continue;
        call = it->second.call;
      }
      call();
    }
  });
}

// ---- Server state (loop thread) --------------------------------------------------------

void PulseDeviceWatcher::connectionReady(pa_context* context, bool reconnected) {
  synced_ = false;
  initialParts_ = 3;
  const uint64_t generation = ++generation_;
  std::weak_ptr<PulseDeviceWatcher> weak = weak_from_this();
  // Events that arrive meanwhile update the copy too; each answer replaces its part with
  // what the server had when it answered, which is at least as new.
  fetchServerInfo(context, [weak, generation, reconnected](std::optional<ServerInfo> info) {
    auto self = weak.lock();
    if (!self) return;
    if (info) self->state_.defaultSource = info->defaultSourceName;
    self->initialPartArrived(generation, reconnected);
  });
  fetchSources(context, [weak, generation, reconnected](std::optional<std::vector<SourceInfo>> list) {
    auto self = weak.lock();
    if (!self) return;
    if (list) {
      self->state_.sources.clear();
      for (auto& s : *list) self->state_.sources.emplace(s.index, std::move(s));
    }
    self->initialPartArrived(generation, reconnected);
  });
  fetchRecordings(context, [weak, generation, reconnected](std::optional<std::vector<RecordingInfo>> list) {
    auto self = weak.lock();
    if (!self) return;
    if (list) {
      self->recordings_.clear();
      for (auto& r : *list) self->recordings_.emplace(r.index, r.facts);
    }
    self->initialPartArrived(generation, reconnected);
  });
}

void PulseDeviceWatcher::initialPartArrived(uint64_t generation, bool reconnected) {
  if (generation != generation_ || --initialParts_ > 0) return;
  synced_ = true;
  if (reconnected) {
    fire(Kind::defaultInput);
    fire(Kind::deviceList);
  }
  // The first view is learnt, not announced: nobody has seen another one.
  updateUse(reconnected);
  connection_->loop().signal();
}

void PulseDeviceWatcher::connectionLost() {
  // What listeners were told stays, so that the changes can be announced once the server
  // is back.
  synced_ = false;
}

void PulseDeviceWatcher::serverEvent(pa_subscription_event_type_t type, uint32_t index) {
  pa_context* c = connection_->context();
  if (!c) return;
  const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const bool removed = (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE;
  std::weak_ptr<PulseDeviceWatcher> weak = weak_from_this();

  switch (facility) {
    case PA_SUBSCRIPTION_EVENT_SERVER:
      fetchServerInfo(c, [weak](std::optional<ServerInfo> info) {
        auto self = weak.lock();
        if (!self || !info || info->defaultSourceName == self->state_.defaultSource) return;
        self->state_.defaultSource = info->defaultSourceName;
        if (self->synced_) self->fire(Kind::defaultInput);
      });
      break;
    case PA_SUBSCRIPTION_EVENT_SOURCE:
      if (removed) {
        sourceUpdated(index, std::nullopt);
        break;
      }
      fetchSource(c, index, [weak, index](std::optional<SourceInfo> info) {
        if (auto self = weak.lock()) self->sourceUpdated(index, std::move(info));
      });
      break;
    case PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT:
      if (removed) {
        recordingUpdated(index, std::nullopt);
        break;
      }
      fetchRecording(c, index, [weak, index](std::optional<RecordingInfo> info) {
        if (auto self = weak.lock()) self->recordingUpdated(index, std::move(info));
      });
      break;
    default:
      break;
  }
}

void PulseDeviceWatcher::sourceUpdated(uint32_t index, std::optional<SourceInfo> info) {
  auto it = state_.sources.find(index);
  const bool wasDevice = it != state_.sources.end() && !it->second.isMonitor;
  const bool isDevice = info && !info->isMonitor;
  if (info)
    state_.sources[index] = std::move(*info);
  else if (it != state_.sources.end())
    state_.sources.erase(it);
  if (!synced_) return;
  if (wasDevice != isDevice) fire(Kind::deviceList);
  updateUse();
}

void PulseDeviceWatcher::recordingUpdated(uint32_t index, std::optional<RecordingInfo> info) {
  if (info)
    recordings_[index] = info->facts;
  else
    recordings_.erase(index);
  if (synced_) updateUse();
}

void PulseDeviceWatcher::updateUse(bool announce) {
  std::vector<SourceFacts> sources;
  sources.reserve(state_.sources.size());
  for (const auto& [index, s] : state_.sources) sources.push_back(s.facts());
  std::vector<RecordingFacts> recordings;
  recordings.reserve(recordings_.size());
  for (const auto& [index, r] : recordings_) recordings.push_back(r);

  std::set<std::string> inUse;
  for (uint32_t index : sourcesInUse(sources, recordings)) {
    auto it = state_.sources.find(index);
    if (it != state_.sources.end() && !it->second.isMonitor) inUse.insert(it->second.name);
  }
  if (inUse == state_.inUse) return;
  // Listeners hear of edges only; a microphone without an ID has no listener yet.
  std::vector<std::string> changed;
  std::set_symmetric_difference(inUse.begin(), inUse.end(), state_.inUse.begin(), state_.inUse.end(),
                                std::back_inserter(changed));
  state_.inUse = std::move(inUse);
  if (!announce) return;
  for (const auto& name : changed)
    if (auto id = ids_->find(name)) fire(Kind::running, *id);
}

}  // namespace qb::pulse
