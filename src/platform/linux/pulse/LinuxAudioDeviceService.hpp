#pragma once
// Microphones on the sound server. Capture devices are the sources that are not the
// monitor of an output: uniqueID = source name, localizedName = its description. The
// default device is the server's default source (none while that is a monitor). Device
// objects have IDs that stay with a source name for the life of the process.
//
// defaultDevice, discoverDevices and makeInput ask the server (a read right after a change
// sees it). The device-object reads are served from a copy of the server's state that
// server events keep up to date (PulseDeviceWatcher), so a poll costs no round trip; a
// listener called for a change sees it in the reads it makes. A read waits at most a second for that copy
// while the connection comes up, and fails with kSoundServerUnavailable while the server
// is gone. A source "runs somewhere" while it is in use (see sourcesInUse). Any thread
// except the sound-server loop's.

#include <memory>
#include <mutex>

#include "platform/AudioDeviceService.hpp"
#include "platform/linux/pulse/DeviceIdMap.hpp"
#include "platform/linux/pulse/PulseConnection.hpp"
#include "platform/linux/pulse/PulseDeviceWatcher.hpp"

namespace qb {

// Status of a read while the sound server cannot be reached ('stop').
inline constexpr int32_t kSoundServerUnavailable = 0x73746F70;

class LinuxAudioDeviceService final : public AudioDeviceService {
 public:
  // `events` runs listener calls and session notifications.
  LinuxAudioDeviceService(std::shared_ptr<pulse::PulseConnection> connection, std::shared_ptr<Queue> events);
  ~LinuxAudioDeviceService() override;

  bool requestAccess() override { return true; }
  std::optional<CaptureDevice> defaultDevice() override;
  std::vector<CaptureDevice> discoverDevices() override;
  InputResult makeInput(const CaptureDevice& device) override;
  std::shared_ptr<CaptureSession> makeSession() override;
  ServerConnection serverConnection() override;

  PropertyRead<AudioObjectID> defaultInputDevice() override;
  PropertyRead<std::vector<AudioObjectID>> deviceIDs() override;
  PropertyRead<std::string> uid(AudioObjectID id) override;
  PropertyRead<std::string> name(AudioObjectID id) override;
  PropertyRead<uint32_t> isRunningSomewhere(AudioObjectID id, PropertyScope scope) override;
  PropertyRead<uint32_t> inputStreamCount(AudioObjectID id) override;

  ListenerToken listenDefaultInputDevice(std::function<void()> listener) override;
  ListenerToken listenDeviceList(std::function<void()> listener) override;
  ListenerToken listenRunningSomewhere(AudioObjectID id, std::function<void()> listener) override;

 private:
  // `value` of the capture source with this ID, or the failure status.
  template <class T>
  PropertyRead<T> sourceProperty(AudioObjectID id,
                                 const std::function<T(const pulse::DeviceState&, const pulse::SourceInfo&)>& value);

  std::shared_ptr<pulse::PulseConnection> connection_;
  std::shared_ptr<Queue> events_;
  std::shared_ptr<pulse::DeviceIdMap> ids_;
  // Made on first use, which is when the connection starts (nothing connects before).
  pulse::PulseDeviceWatcher& watcher();
  std::once_flag watcherMade_;
  std::shared_ptr<pulse::PulseDeviceWatcher> watcher_;
};

}  // namespace qb
