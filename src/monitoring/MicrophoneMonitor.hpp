#pragma once
// Tells the host when a microphone starts or stops being used by anyone on the machine,
// as "MIC_EVENT:" lines: the default input device through its running listener, every
// other input device through a poll every 0.5 s.
//
// While it cannot watch (no sound server, no default input device) it says so once with
// EVENT:MIC_MONITORING_UNAVAILABLE, keeps polling, and starts or goes on watching once a
// default input device can be read again, with EVENT:MIC_MONITORING_RESUMED.
//
// Threads: startMonitoring and stopMonitoring come from the command loop and run their
// body on the monitor's own serial queue, which owns every field; listener calls hop to
// that queue, and the poll timer fires on it. Listeners and the timer hold the monitor
// weakly, so a released monitor stops reacting.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "monitoring/MonitoringService.hpp"
#include "platform/AudioDeviceService.hpp"
#include "platform/ListenerToken.hpp"
#include "runtime/Executor.hpp"

namespace qb {

class MicrophoneMonitor final : public MonitoringService, public std::enable_shared_from_this<MicrophoneMonitor> {
  struct Token {
    explicit Token() = default;
  };

 public:
  static std::shared_ptr<MicrophoneMonitor> make(Executor& executor, std::shared_ptr<AudioDeviceService> audio);
  MicrophoneMonitor(Token, Executor& executor, std::shared_ptr<AudioDeviceService> audio);
  ~MicrophoneMonitor() override;
  MicrophoneMonitor(const MicrophoneMonitor&) = delete;
  MicrophoneMonitor& operator=(const MicrophoneMonitor&) = delete;

  void startMonitoring() override;
  void stopMonitoring() override;

  static constexpr double kPollInterval = 0.5;
  static constexpr double kDeviceCacheMaxAge = 5.0;
  // A poll does not repeat an "active" for the same device within this time.
  static constexpr double kRepeatWindow = 0.25;

 private:
  // All below run on queue_.
  void start();
  void stop();
  // Listeners, the first state and the poll for the default device `id`.
  void watch(AudioObjectID id);
  // The host is told once per change whether the monitor can watch.
  void setAvailable(bool available);
  AudioObjectID getDefaultInputDevice();
  bool checkDeviceRunningByID(AudioObjectID id);
  std::vector<AudioObjectID> getAllInputDeviceIDs();
  const std::vector<AudioObjectID>& getCachedInputDevices();
  void clearDeviceCache();
  void listenForDefaultDeviceChanges();
  void listenForDeviceRunning();
  void listenForDeviceListChanges();
  void removeDeviceRunningListener();
  void removeListeners();
  void startPolling();
  void poll();
  void defaultDeviceChanged();
  void deviceRunningChanged();
  void emitEvent(std::string_view state, AudioObjectID deviceID);
  // A listener that runs `work` on queue_ while the monitor exists.
  std::function<void()> hop(void (MicrophoneMonitor::*work)());

  Executor& executor_;
  std::shared_ptr<AudioDeviceService> audio_;
  std::shared_ptr<Queue> queue_;

  AudioObjectID currentDeviceID_ = 0;
  bool isMonitoring_ = false;
  bool unavailable_ = false;  // the host was told the monitor cannot watch
  TaskHandle pollingTimer_;
  bool lastRunningState_ = false;
  AudioObjectID lastActiveDeviceID_ = 0;
  double lastEmitTime_ = 0;
  AudioObjectID lastEmitDeviceID_ = 0;
  std::string lastEmitState_;
  std::vector<AudioObjectID> cachedInputDevices_;
  double deviceCacheTime_ = 0;
  ListenerToken deviceChangeListener_;
  ListenerToken deviceRunningListener_;
  ListenerToken deviceListChangeListener_;
};

}  // namespace qb
