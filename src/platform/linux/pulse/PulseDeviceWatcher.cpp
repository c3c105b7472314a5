#include "platform/linux/pulse/PulseDeviceWatcher.hpp"

#include <vector>

#include "runtime/Executor.hpp"

namespace qb::pulse {

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
  events_->async([weak = weak_from_this(), kind, device] {
    auto self = weak.lock();
    if (!self) return;
    std::vector<uint64_t> ids;
    {
      std::lock_guard lock(self->mutex_);
      for (auto& [id, l] : self->listeners_)
        if (l.kind == kind && (kind != Kind::running || l.device == device)) ids.push_back(id);
    }
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

void PulseDeviceWatcher::fireRunning(const Known& source) {
  if (source.isMonitor) return;  // not capture devices: they have no device objects
  if (auto id = ids_->find(source.name)) fire(Kind::running, *id);
}

// ---- Server events (loop thread) -------------------------------------------------------

void PulseDeviceWatcher::connectionReady(pa_context* context, bool reconnected) {
  std::weak_ptr<PulseDeviceWatcher> weak = weak_from_this();
  fetchServerInfo(context, [weak, reconnected](std::optional<ServerInfo> info) {
    auto self = weak.lock();
    if (!self || !info) return;
    self->defaultSource_ = info->defaultSourceName;
    if (reconnected) self->fire(Kind::defaultInput);
  });
  fetchSources(context, [weak, reconnected](std::optional<std::vector<SourceInfo>> list) {
    auto self = weak.lock();
    if (!self || !list) return;
    std::map<uint32_t, Known> fresh;
    std::map<std::string, bool> wasRunning;
    for (auto& [index, k] : self->sources_) wasRunning[k.name] = k.running;
    for (auto& s : *list) {
      Known k{s.name, s.isMonitor, s.running};
      if (reconnected) {
        auto it = wasRunning.find(s.name);
        if ((it == wasRunning.end() ? false : it->second) != s.running) self->fireRunning(k);
        wasRunning.erase(s.name);
      }
      fresh.emplace(s.index, std::move(k));
    }
    if (reconnected) {
      // Sources that were running and did not come back have stopped.
      for (auto& [name, running] : wasRunning)
        if (running) self->fireRunning(Known{name, false, false});
      self->fire(Kind::deviceList);
    }
    self->sources_ = std::move(fresh);
  });
}

void PulseDeviceWatcher::serverEvent(pa_subscription_event_type_t type, uint32_t index) {
  pa_context* c = connection_->context();
  if (!c) return;
  const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  std::weak_ptr<PulseDeviceWatcher> weak = weak_from_this();

  if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
    fetchServerInfo(c, [weak](std::optional<ServerInfo> info) {
      auto self = weak.lock();
      if (!self || !info || info->defaultSourceName == self->defaultSource_) return;
      self->defaultSource_ = info->defaultSourceName;
      self->fire(Kind::defaultInput);
    });
    return;
  }
  if (facility != PA_SUBSCRIPTION_EVENT_SOURCE) return;

  if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
    auto it = sources_.find(index);
    if (it == sources_.end()) {
      fire(Kind::deviceList);
      return;
    }
    Known gone = it->second;
    sources_.erase(it);
    fire(Kind::deviceList);
    if (gone.running) fireRunning(gone);
    return;
  }
  const bool isNew = kind == PA_SUBSCRIPTION_EVENT_NEW;
  fetchSource(c, index, [weak, isNew](std::optional<SourceInfo> info) {
    auto self = weak.lock();
    if (self && info) self->sourceUpdated(*info, isNew);
  });
}

void PulseDeviceWatcher::sourceUpdated(const SourceInfo& info, bool isNew) {
  auto it = sources_.find(info.index);
  const bool known = it != sources_.end();
  const bool wasRunning = known && it->second.running;
  Known k{info.name, info.isMonitor, info.running};
  sources_[info.index] = k;
  if (isNew || !known) fire(Kind::deviceList);
  if (wasRunning != info.running) fireRunning(k);
}

}  // namespace qb::pulse
