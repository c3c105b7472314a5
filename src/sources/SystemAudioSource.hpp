#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "audio/AudioConverterPipeline.hpp"
#include "audio/AudioSource.hpp"
#include "platform/ListenerToken.hpp"
#include "platform/Platform.hpp"
#include "platform/ScreenCaptureService.hpp"
#include "runtime/Executor.hpp"
#include "sources/AttemptBudget.hpp"

namespace qb {

enum class SystemAudioError { permissionDenied, noDisplayFound };

// The printable form hosts see in logs and events.
const char* toString(SystemAudioError error);

// Captures what the machine plays (its own output excluded) through an audio-capturing
// screen stream over the first display, and delivers it as 48 kHz stereo s16le.
//
// It repairs its stream by itself while running: a wake, a stream that stops with an
// error, or a stream silent for too long leads to a rebuild 2.5 s later (at most 3 per
// 300 s); a stream taken over by another application (-3805) is rebuilt 0.2 s later, again
// and again until audio flows (at most 15 per 60 s, stall limit 2 s instead of 10 s).
// Stale work is recognised by two stamps: sessionGeneration changes with every stop,
// recoveryNonce with every scheduled recovery.
//
// Threads: start()/stop() on the command side; sample buffers on "system.audio"; the
// watchdog and all recovery scheduling on "system.recovery"; rebuilds as pool tasks;
// stream-stopped and wake callbacks on the platform's threads. Create with make().
class SystemAudioSource final : public AudioSource,
                                public StreamOutput,
                                public StreamDelegate,
                                public std::enable_shared_from_this<SystemAudioSource> {
  struct Passkey {};

 public:
  static std::shared_ptr<SystemAudioSource> make(Platform platform);
  SystemAudioSource(Passkey, Platform platform);
  ~SystemAudioSource() override;
  SystemAudioSource(const SystemAudioSource&) = delete;
  SystemAudioSource& operator=(const SystemAudioSource&) = delete;

  const std::string& sourceID() const override { return sourceID_; }
  AudioProtocol::FrameType frameType() const override { return AudioProtocol::FrameType::system; }
  void setOnAudioData(AudioDataCallback callback) override;
  std::optional<SourceError> start() override;
  void stop() override;
  bool isActive() const override;

  void streamDidOutputAudio(const CaptureStream& stream, const AudioSampleBuffer& buffer) override;
  void streamDidStop(const CaptureStream& stream, const PlatformError& error) override;

  static constexpr double callbackStallTimeout = 10.0;
  static constexpr double contentionStallTimeout = 2.0;
  static constexpr double callbackWatchdogInterval = 1.0;
  static constexpr double normalRecoveryDelay = 2.5;
  static constexpr double contentionRecoveryDelay = 0.2;
  static constexpr AttemptBudget normalRecoveryBudget{3, 300.0};
  static constexpr AttemptBudget contentionRecoveryBudget{15, 60.0};

  // What every stream of this source captures: audio in the output format, over a tiny
  // picture that nobody reads.
  static StreamConfiguration streamConfiguration();

  // A normal rebuild comes 2.5 s after its cause; a contention rebuild (another client
  // took the stream) 0.2 s after, again and again until audio flows.
  enum class RecoveryKind { normal, contention };

 private:
  struct Stamps {
    uint64_t generation = 0;
    uint64_t nonce = 0;
  };
  struct ContentionDecision {
    bool shouldProceed = false;
    int attempt = 0;
    bool exhausted = false;
    uint64_t generation = 0;
    uint64_t nonce = 0;
  };

  void registerForWakeNotifications();

  // Waits for the platform's asynchronous operations; never called with the lock held.
  Result<ShareableContent> queryShareableContent();
  std::optional<PlatformError> startCapture(CaptureStream& stream);
  std::optional<PlatformError> stopCapture(CaptureStream& stream);
  // Removes our output and stops the capture, ignoring both errors.
  void tearDownIgnoringErrors(CaptureStream& stream);
  // A stream that failed to come up: clears `stream_` if it still names it, then tears
  // it down.
  void discardStream(const std::shared_ptr<CaptureStream>& stream);

  void setActive(bool active);
  void setStopping(bool stopping);
  void setStream(std::shared_ptr<CaptureStream> stream);
  void resetRecoveryState();
  void resetCallbackState();
  void updateLastCallbackTimestamp();
  double callbackAgeSeconds() const;

  void startCallbackWatchdog();
  void stopCallbackWatchdog();
  void watchdogTick();

  void scheduleStreamRecovery(const std::string& reason);
  void scheduleContentionRecovery();
  std::optional<Stamps> shouldScheduleRecovery(const std::string& reason);
  ContentionDecision shouldScheduleContentionRecovery();
  void rebuildStream(RecoveryKind kind, const std::string& reason, uint64_t generation, uint64_t nonce);
  // Returns whether the new stream runs.
  bool rebuildBody(const std::string& reason, uint64_t generation, uint64_t nonce);
  void completeRebuild(uint64_t generation, uint64_t nonce, bool succeeded);
  // Caller holds stateLock_.
  bool isCurrentLocked(uint64_t generation, uint64_t nonce) const;

  // Sample path, on systemAudioQueue_ only.
  void convertAndDeliver(const AudioSampleBuffer& buffer, const StreamDescription& description);

  const std::string sourceID_ = "system";
  Executor& executor_;
  std::shared_ptr<ScreenCaptureService> screen_;
  std::shared_ptr<WakeNotifier> wake_;
  const int targetSampleRate_;
  const int targetChannels_;

  std::shared_ptr<Queue> streamRecoveryQueue_;
  std::shared_ptr<Queue> systemAudioQueue_;
  ListenerToken wakeObserver_;

  // On systemAudioQueue_ only.
  std::optional<PcmFormat> systemTargetFormat_;
  std::unique_ptr<AudioConverterPipeline> systemConverter_;
  std::optional<PcmFormat> systemConverterInput_;

  mutable std::mutex stateLock_;
  AudioDataCallback onAudioData_;
  bool isActive_ = false;
  std::shared_ptr<CaptureStream> stream_;
  uint64_t sessionGeneration_ = 0;
  bool streamRecoveryScheduled_ = false;
  uint64_t recoveryNonce_ = 0;
  AttemptBudget recoveryAttempts_;
  std::optional<TaskHandle> callbackWatchdog_;
  double lastCallbackAt_ = 0;
  bool isStopping_ = false;
  AttemptBudget contentionRecoveryAttempts_;
  bool inContentionRecovery_ = false;
  bool firstCallback_ = true;
};

}  // namespace qb
