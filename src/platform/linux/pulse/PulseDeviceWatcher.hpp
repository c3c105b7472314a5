#pragma once
// Turns server events into the device listeners' calls: the default source changed, a
// source came or went, a source started or stopped running. When the server comes back
// after a loss, the default-device and device-list listeners fire and running listeners
// fire for every source whose state differs from before.
//
// Threads: listener registration from any thread (guarded by its own mutex, held for
// short updates only); server events on the loop thread with its lock held (see
// PulseMainLoop); listeners are called on the event queue, never with a lock held.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/ListenerToken.hpp"
#include "platform/linux/pulse/DeviceIdMap.hpp"
#include "platform/linux/pulse/PulseConnection.hpp"
#include "platform/linux/pulse/PulseIntrospection.hpp"

namespace qb {
class Queue;
}

namespace qb::pulse {

class PulseDeviceWatcher final : public PulseConnectionObserver,
                                 public std::enable_shared_from_this<PulseDeviceWatcher> {
 public:
  static std::shared_ptr<PulseDeviceWatcher> create(std::shared_ptr<PulseConnection> connection,
                                                    std::shared_ptr<Queue> events, std::shared_ptr<DeviceIdMap> ids);
  ~PulseDeviceWatcher() override;

  // Any thread.
  ListenerToken listenDefaultInput(std::function<void()> listener);
  ListenerToken listenDeviceList(std::function<void()> listener);
  ListenerToken listenRunning(AudioObjectID device, std::function<void()> listener);

  // PulseConnectionObserver (loop thread).
  void connectionReady(pa_context* context, bool reconnected) override;
  void serverEvent(pa_subscription_event_type_t type, uint32_t index) override;

 private:
  enum class Kind { defaultInput, deviceList, running };
  struct Listener {
    Kind kind;
    AudioObjectID device;
    std::function<void()> call;
  };
  struct Known {
    std::string name;
    bool isMonitor = false;
    bool running = false;
  };

  PulseDeviceWatcher(std::shared_ptr<PulseConnection> connection, std::shared_ptr<Queue> events,
                     std::shared_ptr<DeviceIdMap> ids);
  ListenerToken add(Kind kind, AudioObjectID device, std::function<void()> listener);
  // Any thread: queues the calls of every listener of that kind (and device).
  void fire(Kind kind, AudioObjectID device = 0);
  // Loop thread.
  void fireRunning(const Known& source);
  void sourceUpdated(const SourceInfo& info, bool isNew);

  std::shared_ptr<PulseConnection> connection_;
  std::shared_ptr<Queue> events_;
  std::shared_ptr<DeviceIdMap> ids_;
  PulseConnection::Registration registration_;

  std::mutex mutex_;  // guards listeners_ and nextListener_
  std::map<uint64_t, Listener> listeners_;
  uint64_t nextListener_ = 1;

  // Loop thread only.
  std::map<uint32_t, Known> sources_;  // by server index
  std::string defaultSource_;
};

}  // namespace qb::pulse
