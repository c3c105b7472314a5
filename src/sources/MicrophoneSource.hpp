#pragma once
// Captures the system default microphone (or one chosen device) and delivers it in the
// output format. Follows default-device changes (also while idle), recovers from session
// runtime errors and interruptions, and reports capture diagnostics on standard error
// (MicrophoneDiagnostics).
// A start or restart that fails (no sound server, no microphone) leaves the source waiting:
// the next default-device change, which the service also announces when the server comes
// back, starts it. The host hears of it through MICROPHONE_START_FAILED, _STOPPED and
// _RESUMED events, one per change.
//
// Threads: the processing queue ("mic.processing") owns the source's state (phase, selected
// device, counters, converter) and runs every buffer. Session work, which may wait on the
// sound server, runs on the session queue ("mic.session") and hops to the processing queue
// for each look at the state, so buffers and diagnostics never wait behind the server.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "audio/AudioConverterPipeline.hpp"
#include "platform/AudioBuffer.hpp"
#include "platform/AudioDeviceService.hpp"
#include "platform/ListenerToken.hpp"
#include "platform/Platform.hpp"
#include "runtime/Executor.hpp"
#include "sources/LiveMicrophone.hpp"
#include "sources/MicrophoneCaptureStats.hpp"
#include "sources/MicrophoneDiagnostics.hpp"

namespace qb {

class MicrophoneSource final : public LiveMicrophone,
                               public CaptureSessionObserver,
                               public std::enable_shared_from_this<MicrophoneSource> {
  struct Token {
    explicit Token() = default;
  };

 public:
  enum class MicrophoneError { permissionDenied, sessionStartFailed };
  static std::string_view describe(MicrophoneError error);

  // Callbacks of the session, the output and the default-device listener hold the
  // source weakly, so it must live in a shared_ptr. With `deviceID` (a uniqueID) that device
  // is recorded instead of the default; once the server lists devices without it, the
  // source writes EVENT:MIC_DEVICE_FALLBACK and follows the default from then on.
  static std::shared_ptr<MicrophoneSource> make(Platform& platform, std::optional<std::string> deviceID = {});
  MicrophoneSource(Token, Platform& platform, std::optional<std::string> deviceID);
  ~MicrophoneSource() override;
  MicrophoneSource(const MicrophoneSource&) = delete;
  MicrophoneSource& operator=(const MicrophoneSource&) = delete;

  // AudioSource
  const std::string& sourceID() const override { return sourceID_; }
  AudioProtocol::FrameType frameType() const override { return AudioProtocol::FrameType::mic; }
  void setOnAudioData(AudioDataCallback callback) override;
  std::optional<SourceError> start() override;
  void stop() override;
  bool isActive() const override;

  // LiveMicrophone
  std::optional<std::string> selectedDeviceID() const override;

  // Diagnostics. The start report is emitted by start(); the status report by the
  // buffer path every 50 s of capture; the problem report on the host's request. Any
  // thread but the processing queue.
  void emitCaptureStatusDiagnostic(double avgRMS, int64_t totalFrames);
  void emitCaptureProblemDiagnostic(const std::string& reason) override;

  // CaptureSessionObserver
  void sessionRuntimeError(const std::optional<PlatformError>& error) override;
  void sessionWasInterrupted(const std::string& userInfo) override;
  void sessionInterruptionEnded() override;

  // A buffer from the audio data output, on the processing queue.
  void captureOutput(const AudioSampleBuffer& sampleBuffer);
  // Called by the default-input listener: reconfigures once a burst of changes settles.
  void handleDeviceChange();

  // The sample buffer as PCM in the device's format; more than two channels fall back to
  // channel 0 as mono. None when it cannot be converted. On the processing queue.
  std::optional<PcmBuffer> convertToPCMBuffer(const AudioSampleBuffer& sampleBuffer);
  // Root mean square of every sample; 0 for sample types other than float32 and int16.
  static double level(const PcmBuffer& buffer);

  static constexpr double kDeviceChangeDebounce = 0.3;

 private:
  // waiting: asked to capture, but the session could not be started.
  enum class Phase { idle, waiting, capturing };

  void install();
  // Runs `work` on the processing queue and returns when it has run; never from that queue.
  void withState(const std::function<void()>& work) const;
  bool capturing() const;
  Phase phase() const;

  // On the session queue.
  std::optional<MicrophoneError> startOnSessionQueue();
  // Configures and runs the session; true once it captures.
  bool startCapture();
  // After a device change while waiting; tells the host when the capture runs again.
  void startWhileWaiting();
  // The device to record as the session's only input.
  bool configureSession();
  // The chosen device while it is listed, else the default (falling back for good when a
  // list came without the chosen one).
  std::optional<CaptureDevice> deviceToRecord();
  void reconfigureAfterDeviceChange();
  void recoverFromRuntimeError();
  void resumeAfterInterruption();
  using ServerConnection = AudioDeviceService::ServerConnection;
  // A restart that failed while the server was down, or across a reconnection, was cut by
  // the server going away: an interruption, not the end of the capture.
  static bool serverCutTheStart(const ServerConnection& before, const ServerConnection& after);
  // Starts the session after a rebuild or an interruption; a session that does not run
  // leaves the source waiting and the host told why (`cause`), unless the sound server went
  // away since `before`, the connection as the restart began: then the capture goes on and
  // starts again with the server. Logs `started` or `failed`.
  void startRunningAgain(const ServerConnection& before, std::string_view started, std::string_view failed,
                         std::string_view cause);

  void resetPipelineAsync();

  const std::string sourceID_ = "mic";
  Executor& executor_;
  std::shared_ptr<AudioDeviceService> audio_;
  MicrophoneDiagnostics diagnostics_;

  std::shared_ptr<Queue> sessionQueue_;
  std::shared_ptr<CaptureSession> session_;
  std::optional<std::string> chosenID_;  // owned by sessionQueue_; none: follow the default
  std::shared_ptr<Queue> processingQueue_;

  // ---- owned by processingQueue_ ----
  Phase phase_ = Phase::idle;
  CaptureDevice selected_;  // last configured into the session; empty before
  MicrophoneCaptureStats stats_;
  AudioDataCallback onAudioData_;
  // Reset blocks hold it until they run.
  std::shared_ptr<AudioConverterPipeline> pipeline_;

  std::mutex deviceChangeMutex_;
  TaskHandle deviceChangeWorkItem_;
  ListenerToken defaultInputListener_;
};

}  // namespace qb
