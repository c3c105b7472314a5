#pragma once
// Simulated microphones and speakers, scripted from tests.
//
// Thread-safe: every method may be called from any thread. Listeners and session
// notifications run as items of the service's "sim.audio.notify" queue, never inside
// the scripting call that caused them; buffers run on the queue the session's output
// was given. Time (tone generators, start delays) is the executor's, so a
// ManualExecutor drives everything in virtual time.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/AudioDeviceService.hpp"
#include "platform/sim/SimAudioSignal.hpp"
#include "platform/sim/SimListenerList.hpp"
#include "runtime/Executor.hpp"

namespace qb {

class SimCaptureSession;

struct SimAudioDeviceSpec {
  std::string uniqueID;
  std::string name;
  // Native format of its capture buffers; ignored for output devices.
  StreamDescription format = pcmDescription(SampleFormat::Float32, 48000, 1, true);
  bool input = true;      // false: an output device (not a capture device)
  bool external = false;  // listed after the built-in microphones
};

// Property reads that can be made to fail.
enum class SimAudioProperty { defaultInputDevice, deviceIDs, uid, name, isRunningSomewhere, inputStreamCount };

class SimAudioDeviceService final : public AudioDeviceService,
                                    public std::enable_shared_from_this<SimAudioDeviceService> {
 public:
  // Sessions record through the device they were started on; these errors are what
  // the sim reports when that device or the server goes away.
  static constexpr int64_t kDeviceDisconnectedCode = -11819;
  static constexpr int64_t kDeviceNotConnectedCode = -11814;

  struct Counters {
    int accessRequests = 0;
    int inputsCreated = 0;
    int sessionsCreated = 0;
    int sessionStartAttempts = 0;
    int sessionsStarted = 0;  // startRunning calls that left the session running
    int sessionStops = 0;     // stopRunning calls on a running session
    uint64_t buffersDelivered = 0;
  };

  explicit SimAudioDeviceService(Executor& executor);
  ~SimAudioDeviceService() override;

  // --- Devices -------------------------------------------------------------------
  // Adds (or re-adds) a device; its ID is kept for the uniqueID for the service's
  // life. Fires the device-list listeners.
  AudioObjectID addDevice(const SimAudioDeviceSpec& spec);
  AudioObjectID addMicrophone(const std::string& uniqueID, const std::string& name,
                              const StreamDescription& format = pcmDescription(SampleFormat::Float32, 48000, 1, true));
  AudioObjectID addOutputDevice(const std::string& uniqueID, const std::string& name);
  // Sessions recording it get a runtime error (kDeviceDisconnectedCode) and stop. A
  // removed default falls back to the first remaining input device (default listeners
  // fire). Fires the device-list listeners.
  void removeDevice(const std::string& uniqueID);
  // Fires the default listeners when the default changes.
  void setDefaultDevice(const std::optional<std::string>& uniqueID);
  std::optional<AudioObjectID> idOf(const std::string& uniqueID) const;
  // Takes effect for buffers generated from now on.
  void setDeviceFormat(const std::string& uniqueID, const StreamDescription& format);
  void setInputStreamCount(const std::string& uniqueID, uint32_t count);

  // --- Running state -------------------------------------------------------------
  // Another client using the device in one scope. A sim session recording the device
  // makes it run in the global and input scopes on top of this. Running listeners
  // fire on every change of any scope's value.
  void setRunningSomewhere(const std::string& uniqueID, PropertyScope scope, bool running);
  // Sessions currently recording the device.
  int recordingSessionCount(const std::string& uniqueID) const;

  // --- Faults --------------------------------------------------------------------
  void setAccessGranted(bool granted);
  // Reads of `property` fail with `status`; restricted to one device and/or scope
  // when given. Cleared only by clearPropertyFailures().
  void failPropertyRead(SimAudioProperty property, int32_t status, const std::string& uniqueID = {},
                        std::optional<PropertyScope> scope = std::nullopt);
  void clearPropertyFailures();
  // makeInput fails with `error` for that device (empty uniqueID: every device).
  void failInputCreation(const std::string& uniqueID, const PlatformError& error);
  void clearInputCreationFailures();
  // startRunning leaves sessions on that device (empty: every device) stopped.
  void failSessionStart(bool fail, const std::string& uniqueID = {});
  void setCanAddInput(bool can);
  void setCanAddAudioDataOutput(bool can);
  // Virtual seconds that startRunning takes before the session runs.
  void setSessionStartDelay(double seconds);

  // --- Audio ---------------------------------------------------------------------
  // Hands `buffer` (as given, even malformed) to every session recording the device.
  void deliver(const std::string& uniqueID, const AudioSampleBuffer& buffer);
  // While a session records the device, every `interval` seconds a buffer of the
  // device's native format carrying this sine (amplitude 0: silence) reaches it.
  void setTone(const std::string& uniqueID, double frequency, double amplitude, double interval = 0.02);
  void stopTone(const std::string& uniqueID);
  // A buffer of the device's native format with this sine, for tests pushing buffers.
  AudioSampleBuffer toneBuffer(const std::string& uniqueID, size_t frames, double frequency, double amplitude) const;

  // --- Notifications -------------------------------------------------------------
  // To every running session on the device (empty: every running session). With
  // `stopsSession` the session stops running at once, as a failed capture does.
  void postRuntimeError(const std::string& uniqueID, const std::optional<PlatformError>& error,
                        bool stopsSession = true);
  // Running sessions on the device stop and are told they were interrupted.
  void interrupt(const std::string& uniqueID, const std::string& userInfo = "sim interruption");
  // Interrupted sessions on the device are told the interruption ended; with `resume`
  // those that ran before run again first (when their device is present).
  void endInterruption(const std::string& uniqueID, bool resume = true);
  // The sound server goes away: every read fails (kAudioBadObjectError), no devices,
  // no default, inputs cannot be made, running sessions are interrupted; device-list
  // and default listeners fire.
  void serverDown();
  // It returns: reads work again, listeners fire, sessions interrupted by serverDown
  // resume and are told the interruption ended.
  void serverUp();
  bool isServerUp() const;

  // --- Inspection ----------------------------------------------------------------
  Counters counters() const;
  // Registered listeners of all kinds (catches registrations that are never removed).
  size_t listenerCount() const;

  // --- AudioDeviceService --------------------------------------------------------
  bool requestAccess() override;
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
  friend class SimCaptureSession;

  struct Tone {
    double frequency = 0;
    double amplitude = 0;
    double interval = 0.02;
    double phase = 0;
  };
  struct Device {
    SimAudioDeviceSpec spec;
    AudioObjectID id = 0;
    uint32_t inputStreams = 0;
    bool explicitRunning[3] = {false, false, false};
    int recordingSessions = 0;
    std::optional<Tone> tone;
    TaskHandle toneTimer;
  };
  enum class ListenerKind { defaultDevice, deviceList, running };
  struct ListenerKey {
    ListenerKind kind;
    AudioObjectID id = 0;
  };
  struct PropertyFailure {
    SimAudioProperty property;
    std::string uniqueID;
    std::optional<PropertyScope> scope;
    int32_t status;
  };
  // What a change of state must announce once the lock is released.
  struct Announce {
    bool deviceList = false;
    bool defaultDevice = false;
    std::vector<AudioObjectID> running;
  };

  // Used by sessions.
  bool sessionMayStart(const std::string& uniqueID) const;
  void sessionStartedRecording(const std::string& uniqueID);
  void sessionStoppedRecording(const std::string& uniqueID);
  void countBufferDelivered() { deliveredBuffers_.fetch_add(1); }
  void countSessionStart(bool started);
  void countSessionStop();
  bool canAddInput() const;
  bool canAddAudioDataOutput() const;
  double sessionStartDelay() const;
  std::shared_ptr<Queue> notifyQueue() const { return notifyQueue_; }
  Executor& executor() const { return executor_; }

  Device* findLocked(const std::string& uniqueID);
  const Device* findLocked(const std::string& uniqueID) const;
  const Device* findLocked(AudioObjectID id) const;
  std::optional<int32_t> failureLocked(SimAudioProperty p, const std::string& uniqueID,
                                       std::optional<PropertyScope> scope) const;
  uint32_t runningValueLocked(const Device& d, PropertyScope scope) const;
  std::vector<uint32_t> runningSnapshotLocked(const Device& d) const;
  void updateToneTimerLocked(Device& d);
  void generateTone(const std::string& uniqueID);
  std::vector<std::shared_ptr<SimCaptureSession>> liveSessions() const;
  ListenerToken addListener(ListenerKind kind, AudioObjectID id, std::function<void()> callback);
  void announce(const Announce& a);

  Executor& executor_;
  std::shared_ptr<Queue> notifyQueue_;
  std::shared_ptr<Queue> generatorQueue_;
  mutable std::mutex mutex_;
  std::vector<Device> devices_;
  std::map<std::string, AudioObjectID> idsByUid_;
  AudioObjectID nextId_ = 40;
  std::optional<std::string> defaultUid_;
  bool serverUp_ = true;
  uint64_t connectionsMade_ = 1;
  bool accessGranted_ = true;
  bool canAddInput_ = true;
  bool canAddOutput_ = true;
  double startDelay_ = 0;
  std::vector<PropertyFailure> propertyFailures_;
  std::map<std::string, PlatformError> inputFailures_;
  std::vector<std::string> startFailures_;  // "" means every device
  SimListenerList<ListenerKey> listeners_;
  std::vector<std::weak_ptr<SimCaptureSession>> sessions_;
  Counters counters_;
  std::atomic<uint64_t> deliveredBuffers_{0};
};

}  // namespace qb
