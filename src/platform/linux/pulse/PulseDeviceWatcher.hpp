#pragma once
// Keeps a copy of what the device reads need (the default source, the sources, the
// recording streams and from them which microphones are in use), maintained from server
// events, so that reads cost no round trip. Turns changes into the device listeners'
// calls: the default source changed, a microphone came or went, a microphone started or
// stopped being in use (see sourcesInUse). When the server comes back after a loss, the
// default-device and device-list listeners fire, and running listeners fire for every
// microphone whose use differs from before.
//
// Threads: reads and listener registration from any thread but the loop's; server events
// on the loop thread with its lock held (see PulseMainLoop). The copy is guarded by the
// loop's lock, listeners by their own mutex; both are held for short updates only.
// Listeners are called on the event queue, never with a lock held, and only after the
// copy shows the change they announce.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/ListenerToken.hpp"
#include "platform/linux/pulse/DeviceIdMap.hpp"
#include "platform/linux/pulse/PulseConnection.hpp"
#include "platform/linux/pulse/PulseIntrospection.hpp"

namespace qb {
class Queue;
}

namespace qb::pulse {

// What the server looks like, as far as the device reads go.
struct DeviceState {
  std::string defaultSource;
  std::map<uint32_t, SourceInfo> sources;  // by server index
  std::set<std::string> inUse;             // names of microphones in use (never monitors)

  // The source with this name, or null.
  const SourceInfo* find(const std::string& name) const;
};

class PulseDeviceWatcher final : public PulseConnectionObserver,
                                 public std::enable_shared_from_this<PulseDeviceWatcher> {
 public:
  static std::shared_ptr<PulseDeviceWatcher> create(std::shared_ptr<PulseConnection> connection,
                                                    std::shared_ptr<Queue> events, std::shared_ptr<DeviceIdMap> ids);
  ~PulseDeviceWatcher() override;

  // Runs `read` on the current state with the loop's lock held, once the state is known
  // (waiting up to `seconds` while the connection comes up or catches up). False, without
  // calling `read`, when it is not known: the server cannot be reached. `read` must not
  // wait. Any thread but the loop's.
  bool read(const std::function<void(const DeviceState&)>& read, double seconds = kReadWait);
  static constexpr double kReadWait = 1.0;

  // Any thread.
  ListenerToken listenDefaultInput(std::function<void()> listener);
  ListenerToken listenDeviceList(std::function<void()> listener);
  ListenerToken listenRunning(AudioObjectID device, std::function<void()> listener);

  // PulseConnectionObserver (loop thread).
  void connectionReady(pa_context* context, bool reconnected) override;
  void connectionLost() override;
  void serverEvent(pa_subscription_event_type_t type, uint32_t index) override;

 private:
  enum class Kind { defaultInput, deviceList, running };
  struct Listener {
    Kind kind;
    AudioObjectID device;
    std::function<void()> call;
  };

  PulseDeviceWatcher(std::shared_ptr<PulseConnection> connection, std::shared_ptr<Queue> events,
                     std::shared_ptr<DeviceIdMap> ids);
  ListenerToken add(Kind kind, AudioObjectID device, std::function<void()> listener);
  // Any thread: queues the calls of every listener of that kind (and device).
  void fire(Kind kind, AudioObjectID device = 0);

  // Loop thread.
  void initialPartArrived(uint64_t generation, bool reconnected);
  void sourceUpdated(uint32_t index, std::optional<SourceInfo> info);
  void recordingUpdated(uint32_t index, std::optional<RecordingInfo> info);
  // Works out which microphones are in use and, when asked to, fires running listeners
  // for the changes.
  void updateUse(bool announce = true);

  std::shared_ptr<PulseConnection> connection_;
  std::shared_ptr<Queue> events_;
  std::shared_ptr<DeviceIdMap> ids_;
  PulseConnection::Registration registration_;

  std::mutex mutex_;  // guards listeners_ and nextListener_
  std::map<uint64_t, Listener> listeners_;
  uint64_t nextListener_ = 1;

  // Loop's lock.
  DeviceState state_;
  std::map<uint32_t, RecordingFacts> recordings_;  // by server index
  bool synced_ = false;                            // the state reflects the ready connection
  int initialParts_ = 0;                           // answers still awaited after a connection came up
  uint64_t generation_ = 0;
};

}  // namespace qb::pulse
