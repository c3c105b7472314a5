#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "audio/AudioConverterPipeline.hpp"
#include "audio/AudioSource.hpp"
#include "platform/ListenerToken.hpp"
#include "platform/Platform.hpp"
#include "platform/ScreenCaptureService.hpp"
#include "runtime/Executor.hpp"
#include "sources/CallbackWatchdog.hpp"
#include "sources/SystemAudioRecovery.hpp"

namespace qb {

enum class SystemAudioError { permissionDenied, noDisplayFound };

// The printable form hosts see in logs and events.
std::string_view describe(SystemAudioError error);

// Captures what the machine plays (its own output excluded) through an audio-capturing
// screen stream over the first display, and delivers it as 48 kHz stereo s16le. It repairs
// its stream by itself while running (SystemAudioRecovery says when, CallbackWatchdog
// notices silence).
//
// Threads: one serial queue ("system.audio") owns every field below it: sample buffers,
// watchdog ticks and recovery decisions run there, and everything else hops to it. Work
// that waits on the capture service (start, stop, rebuilding a stream) runs off the queue
// (the caller's thread, pool tasks) and hops to it for each look at the state, so the
// queue never waits. Create with make().
//
// A start that fails (no sound server, say) is said once (SYSTEM_AUDIO_START_FAILED) and
// tried again every second, quietly, until it runs or a stop; a source whose recovery gave
// up says SYSTEM_AUDIO_STOPPED. SYSTEM_AUDIO_RESUMED follows either once a stream runs or
// audio arrives again.
class SystemAudioSource final : public AudioSource,
                                public StreamOutput,
                                public StreamDelegate,
                                public std::enable_shared_from_this<SystemAudioSource> {
  struct Token {
    explicit Token() = default;
  };

 public:
  static std::shared_ptr<SystemAudioSource> make(Platform platform);
  SystemAudioSource(Token, Platform platform);
  ~SystemAudioSource() override;
  SystemAudioSource(const SystemAudioSource&) = delete;
  SystemAudioSource& operator=(const SystemAudioSource&) = delete;

  const std::string& sourceID() const override { return sourceID_; }
  AudioProtocol::FrameType frameType() const override { return AudioProtocol::FrameType::system; }
  void setOnAudioData(AudioDataCallback callback) override;
  std::optional<SourceError> start() override;
  void stop() override;
  bool isActive() const override;

  // As items of the queue (buffers) and on the service's threads (stops).
  void streamDidOutputAudio(const CaptureStream& stream, const AudioSampleBuffer& buffer) override;
  void streamDidStop(const CaptureStream& stream, const PlatformError& error) override;

  // What every stream of this source captures: audio in the output format, over a tiny
  // picture that nobody reads.
  static StreamConfiguration streamConfiguration();

 private:
  // Runs `work` on the queue and returns when it has run; never called from the queue.
  void onQueue(const std::function<void()>& work) const;

  // The body of a start: sets up a stream and starts it, logging each step unless `quiet`.
  // Off the queue.
  std::optional<SourceError> attemptStart(uint64_t session, bool quiet);
  // On the queue: a waiting source tries again after startRetryInterval.
  void scheduleStartRetry(uint64_t session);
  void retryStart(uint64_t session);
  // On the queue: the host hears once that the channel is down, and once that it is back.
  void announceDown(const std::string& event);
  void announceBack();

  // Wait for the service's asynchronous operations; called off the queue only.
  Result<ShareableContent> queryShareableContent();
  std::optional<PlatformError> startCapture(CaptureStream& stream);
  std::optional<PlatformError> stopCapture(CaptureStream& stream);
  // Removes our output and stops the capture, ignoring both errors.
  void tearDownIgnoringErrors(CaptureStream& stream);
  // A stream that failed to come up: stops being current if it was, then is torn down.
  void discardStream(const std::shared_ptr<CaptureStream>& stream);

  // On the queue.
  void armWatchdog();
  void watchdogTick();
  // `streamDown`: the cause left no audio flowing, so a recovery that gives up stops the channel.
  void requestRecovery(const std::string& reason, bool streamDown = true);
  void requestContentionRecovery();
  void rebuildWhenDue(RecoveryKind kind, const std::string& reason, RecoveryStamp order);
  void streamStopped(const CaptureStream* stream, const PlatformError& error);
  void convertAndDeliver(const AudioSampleBuffer& buffer, const StreamDescription& description);

  // Off the queue: returns whether the new stream runs.
  bool rebuild(const std::string& reason, RecoveryStamp order);

  const std::string sourceID_ = "system";
  Executor& executor_;
  std::shared_ptr<ScreenCaptureService> screen_;
  std::shared_ptr<WakeNotifier> wake_;
  std::shared_ptr<Queue> queue_;
  ListenerToken wakeObserver_;

  // ---- owned by queue_ ----
  SystemAudioRecovery state_;
  CallbackWatchdog watchdog_;
  AudioDataCallback onAudioData_;
  // Buffers of any other stream are dropped.
  std::shared_ptr<CaptureStream> stream_;
  bool firstCallback_ = true;
  bool announcedDown_ = false;
  std::optional<PcmFormat> systemTargetFormat_;
  std::unique_ptr<AudioConverterPipeline> systemConverter_;
  std::optional<PcmFormat> systemConverterInput_;
};

}  // namespace qb
