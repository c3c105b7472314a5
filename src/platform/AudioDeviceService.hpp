#pragma once
// Microphones, their state and capture sessions on them.
//
// Threads: every method may be called from any thread and may wait briefly on the
// sound server (bounded by a timeout). Listeners and session notifications are called
// on the service's own threads and must only log, record or hop to a queue.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/AudioBuffer.hpp"
#include "platform/ListenerToken.hpp"
#include "platform/PlatformError.hpp"

namespace qb {

class Queue;

struct CaptureDevice {
  std::string uniqueID;
  std::string localizedName;
  bool operator==(const CaptureDevice&) const = default;
};

using AudioObjectID = uint32_t;  // 0 means none
inline constexpr AudioObjectID kAudioObjectSystemObject = 1;

enum class PropertyScope { global, input, output };

// A property read: status 0 is success, anything else a failure with no value.
template <class T>
struct PropertyRead {
  int32_t status = 0;
  T value{};
  bool ok() const { return status == 0; }
};

// Status of a property that does not exist on the object.
inline constexpr int32_t kAudioUnknownPropertyError = 2003332927;  // 'who?'
inline constexpr int32_t kAudioBadObjectError = 560947818;         // '!obj'

// One input made from a device for a capture session.
class CaptureInput {
 public:
  virtual ~CaptureInput() = default;
  virtual const CaptureDevice& device() const = 0;
};

// Receives a session's notifications. The session holds its observer weakly.
class CaptureSessionObserver {
 public:
  virtual ~CaptureSessionObserver() = default;
  // error is absent when the notification carried none.
  virtual void sessionRuntimeError(const std::optional<PlatformError>& error) = 0;
  virtual void sessionWasInterrupted(const std::string& userInfo) = 0;
  virtual void sessionInterruptionEnded() = 0;
};

using SampleBufferHandler = std::function<void(const AudioSampleBuffer&)>;

// A capture session: inputs, one audio data output, running state. Configuration calls
// come from one serial queue at a time (the owner's session queue).
class CaptureSession {
 public:
  virtual ~CaptureSession() = default;
  virtual void beginConfiguration() = 0;
  virtual void commitConfiguration() = 0;
  virtual std::vector<std::shared_ptr<CaptureInput>> inputs() const = 0;
  virtual void removeInput(const std::shared_ptr<CaptureInput>& input) = 0;
  virtual bool canAddInput(const CaptureInput& input) const = 0;
  virtual void addInput(std::shared_ptr<CaptureInput> input) = 0;
  virtual bool hasAudioDataOutput() const = 0;
  virtual bool canAddAudioDataOutput() const = 0;
  // Buffers arrive in the device's own format, in order, as items of `queue`.
  virtual void addAudioDataOutput(std::shared_ptr<Queue> queue, SampleBufferHandler handler) = 0;
  // Waits until the session runs or failed to start (bounded).
  virtual void startRunning() = 0;
  virtual void stopRunning() = 0;
  virtual bool isRunning() const = 0;
  virtual void setObserver(std::weak_ptr<CaptureSessionObserver> observer) = 0;
};

struct InputResult {
  std::shared_ptr<CaptureInput> input;  // null on failure
  PlatformError error;
};

class AudioDeviceService {
 public:
  virtual ~AudioDeviceService() = default;

  // Capture-device view.
  virtual bool requestAccess() = 0;
  virtual std::optional<CaptureDevice> defaultDevice() = 0;
  // Every capture device (microphones first, then external ones), in a stable order.
  virtual std::vector<CaptureDevice> discoverDevices() = 0;
  virtual InputResult makeInput(const CaptureDevice& device) = 0;
  virtual std::shared_ptr<CaptureSession> makeSession() = 0;

  // Device-object view: IDs are never 0; uid(id) equals the capture device's uniqueID.
  virtual PropertyRead<AudioObjectID> defaultInputDevice() = 0;
  virtual PropertyRead<std::vector<AudioObjectID>> deviceIDs() = 0;
  virtual PropertyRead<std::string> uid(AudioObjectID id) = 0;
  virtual PropertyRead<std::string> name(AudioObjectID id) = 0;
  virtual PropertyRead<uint32_t> isRunningSomewhere(AudioObjectID id, PropertyScope scope) = 0;
  // Number of input streams (buffers) the device has; 0 for an output-only device.
  virtual PropertyRead<uint32_t> inputStreamCount(AudioObjectID id) = 0;

  // Listeners fire until their token is destroyed.
  virtual ListenerToken listenDefaultInputDevice(std::function<void()> listener) = 0;
  virtual ListenerToken listenDeviceList(std::function<void()> listener) = 0;
  virtual ListenerToken listenRunningSomewhere(AudioObjectID id, std::function<void()> listener) = 0;
};

}  // namespace qb
