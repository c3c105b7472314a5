#pragma once
// Microphones, their state and capture sessions on them.
//
// Threads: every method may be called from any thread and may wait briefly on the
// sound server (bounded by a timeout of a few seconds; an unreachable server makes calls
// fail, not hang). Listeners and session notifications are called on the service's own
// notification thread, never inside the call that caused them and with no lock of the
// service held; they must only log, record or hop to a queue.
//
// Lifetimes: sessions, inputs and listener tokens may outlive the service; a session of
// a service that is gone records nothing.

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

// Receives a session's notifications, on the service's notification thread. The
// session holds its observer weakly. None is sent for what the owner asked for (a failed
// startRunning, a stopRunning).
class CaptureSessionObserver {
 public:
  virtual ~CaptureSessionObserver() = default;
  // A failure while running (the device went away, the stream failed); the session has
  // usually stopped, and the owner reconfigures and starts it again. error is absent
  // when the notification carried none.
  virtual void sessionRuntimeError(const std::optional<PlatformError>& error) = 0;
  // The session stopped for a reason outside the process (the sound server went away);
  // it will try to resume by itself.
  virtual void sessionWasInterrupted(const std::string& userInfo) = 0;
  // The interruption is over. The session usually runs again by itself; the owner checks
  // isRunning() and starts it when not.
  virtual void sessionInterruptionEnded() = 0;
};

// Called with one buffer, valid only for the call.
using SampleBufferHandler = std::function<void(const AudioSampleBuffer&)>;

// A capture session: inputs, one audio data output, running state. Every call comes
// from one serial queue at a time (the owner's session queue); only startRunning waits.
// Destroying the session stops it; as after stopRunning, buffers and notifications already
// queued may still arrive, so handlers and observers hold their owner weakly.
class CaptureSession {
 public:
  virtual ~CaptureSession() = default;
  // Input changes between these two take effect at commit: a running session then
  // records the new first input (or nothing, when none is left).
  virtual void beginConfiguration() = 0;
  virtual void commitConfiguration() = 0;
  virtual std::vector<std::shared_ptr<CaptureInput>> inputs() const = 0;
  virtual void removeInput(const std::shared_ptr<CaptureInput>& input) = 0;
  // False when the input cannot join this session: the caller leaves it out and reports
  // the session as unconfigured.
  virtual bool canAddInput(const CaptureInput& input) const = 0;
  virtual void addInput(std::shared_ptr<CaptureInput> input) = 0;
  virtual bool hasAudioDataOutput() const = 0;
  virtual bool canAddAudioDataOutput() const = 0;
  // Once per session. Buffers arrive in the device's own format, in order, as items of
  // `queue`, while the session runs.
  virtual void addAudioDataOutput(std::shared_ptr<Queue> queue, SampleBufferHandler handler) = 0;
  // Waits (a few seconds at most) until the session runs or failed to start. A failure
  // is not notified: the caller reads isRunning() afterwards and handles it.
  virtual void startRunning() = 0;
  // Stops recording and returns. No buffer is produced afterwards, but buffers already
  // on the output's queue (the last few milliseconds included) may still be delivered:
  // an owner that must not see them ignores them by its own state.
  virtual void stopRunning() = 0;
  // False after a failed start, a stop, a runtime error or during an interruption.
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
  // True when recording is allowed (a platform may ask the user); false: the caller fails
  // its start with permissionDenied.
  virtual bool requestAccess() = 0;
  // None when there is no microphone or the sound server cannot be reached.
  virtual std::optional<CaptureDevice> defaultDevice() = 0;
  // Every capture device (microphones first, then external ones), in a stable order;
  // empty when there is none or the server cannot be reached.
  virtual std::vector<CaptureDevice> discoverDevices() = 0;
  // A null input and the reason when the device is gone or the server cannot be reached:
  // the caller logs it and leaves the session without input.
  virtual InputResult makeInput(const CaptureDevice& device) = 0;
  // A new, stopped session without inputs or output. Never null.
  virtual std::shared_ptr<CaptureSession> makeSession() = 0;
  // The connection to the sound server as last noticed: up or not, and how many times it
  // was made. A session start that failed while the server was down, or while the count
  // moved, failed because the server went away; the default-input listener fires once the
  // server is back. Never waits.
  struct ServerConnection {
    bool up = true;
    uint64_t made = 0;
  };
  virtual ServerConnection serverConnection() = 0;

  // Device-object view: IDs are never 0; uid(id) equals the capture device's uniqueID.
  // A read either succeeds with a value or fails with a status (kAudioBadObjectError for
  // an ID that names no device now); callers treat a failure as "unknown" and go on.
  virtual PropertyRead<AudioObjectID> defaultInputDevice() = 0;
  virtual PropertyRead<std::vector<AudioObjectID>> deviceIDs() = 0;
  virtual PropertyRead<std::string> uid(AudioObjectID id) = 0;
  virtual PropertyRead<std::string> name(AudioObjectID id) = 0;
  virtual PropertyRead<uint32_t> isRunningSomewhere(AudioObjectID id, PropertyScope scope) = 0;
  // Number of input streams (buffers) the device has; 0 for an output-only device.
  virtual PropertyRead<uint32_t> inputStreamCount(AudioObjectID id) = 0;

  // Listeners fire, on the notification thread, until their token is destroyed; once
  // the token is gone no call starts, not even one queued before. A burst of changes may
  // fire once or several times, so listeners read the current state again.
  virtual ListenerToken listenDefaultInputDevice(std::function<void()> listener) = 0;
  virtual ListenerToken listenDeviceList(std::function<void()> listener) = 0;
  virtual ListenerToken listenRunningSomewhere(AudioObjectID id, std::function<void()> listener) = 0;
};

}  // namespace qb
