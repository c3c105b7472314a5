#pragma once
// The capture stream that carries system audio: a record stream on the monitor of the
// default output, float32 48 kHz stereo interleaved in ~20 ms buffers.
//
// It follows the default output itself (the server resolves a default monitor only once,
// at connection), and after every move or failure checks what it records: microphone
// audio never reaches the output, because data is only handed over while the stream is
// known to record a monitor. What ends it, through the delegate's streamDidStop:
//   -3805 (kTakenOver)          another client ended or moved our recording away
//   -3815 (kDisplayUnavailable) the captured output is gone and there is none to follow
//   -3802 (kFailed)             the recording could not be set up again
// Losing the sound server does not end it: it records nothing until the connection is
// back, then records the monitor of the new server's default output by itself. Nor does a
// server that names no default output for a moment (PipeWire's session manager names it a
// little after an output comes or goes, or the server starts): the stream waits up to 5 s. Only a
// start fails with -3821 (kConnectionLost) when there is no server.
// The decisions are pulse::decideSystemStream (PulseDecisions.hpp).
//
// It carries no pictures (X11CaptureStream does): adding a screen output fails. The stream cannot leave
// out this process's own audio (a monitor carries the whole mix); the helper plays none.
//
// Thread-safe. State is guarded by the sound-server loop's lock (see PulseMainLoop),
// held only for short updates; completions and the delegate run on the executor's pool
// and the event queue, audio on the output's queue.

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "platform/ScreenCaptureService.hpp"
#include "platform/linux/pulse/PulseConnection.hpp"
#include "platform/linux/pulse/PulseDecisions.hpp"
#include "platform/linux/pulse/PulseIntrospection.hpp"
#include "platform/linux/pulse/PulseRecordStream.hpp"

namespace qb {

class Executor;

class SystemAudioStream final : public CaptureStream,
                                public pulse::PulseConnectionObserver,
                                public std::enable_shared_from_this<SystemAudioStream> {
 public:
  static std::shared_ptr<SystemAudioStream> create(Executor& executor,
                                                   std::shared_ptr<pulse::PulseConnection> connection,
                                                   std::shared_ptr<Queue> events, const ContentFilter& filter,
                                                   const StreamConfiguration& config,
                                                   std::weak_ptr<StreamDelegate> delegate);
  ~SystemAudioStream() override;

  const StreamConfiguration& configuration() const override { return config_; }
  std::optional<PlatformError> addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                                               std::shared_ptr<Queue> queue) override;
  std::optional<PlatformError> removeStreamOutput(StreamOutputType type) override;
  void startCapture(ErrorCompletion done) override;
  void stopCapture(ErrorCompletion done) override;
  void updateContentFilter(const ContentFilter& filter, ErrorCompletion done) override;

  // For tests and diagnostics.
  uint32_t grantedFragmentBytes() const;
  std::string recordingSource() const;  // empty when not recording

  // PulseConnectionObserver (loop thread).
  void connectionReady(pa_context* context, bool reconnected) override;
  void connectionLost() override;
  void serverEvent(pa_subscription_event_type_t type, uint32_t index) override;

  static constexpr uint32_t kSampleRate = 48000;
  static constexpr uint32_t kChannels = 2;

 private:
  enum class Phase { idle, starting, running, stopped, ended };

  SystemAudioStream(Executor& executor, std::shared_ptr<pulse::PulseConnection> connection,
                    std::shared_ptr<Queue> events, const ContentFilter& filter, const StreamConfiguration& config,
                    std::weak_ptr<StreamDelegate> delegate);
  std::optional<PlatformError> startBlocking();

  // All below: lock held (loop thread or a caller holding it).
  bool active() const { return phase_ == Phase::starting || phase_ == Phase::running; }
  void followDefault();
  void awaitDefault();
  void openOn(const pulse::SinkInfo& sink);
  void onReady();
  void onMoved();
  void onData(std::vector<uint8_t> bytes, size_t frames, int64_t captureTimeUs);
  // Looks up the facts for `event` and acts on the decision.
  void evaluate(pulse::SystemStreamEvent event);
  void act(pulse::SystemStreamEvent event, const pulse::SystemStreamFacts& facts);
  void end(int64_t code, const std::string& description);

  Executor& executor_;
  std::shared_ptr<pulse::PulseConnection> connection_;
  std::shared_ptr<Queue> events_;
  StreamConfiguration config_;
  ContentFilter filter_;
  std::weak_ptr<StreamDelegate> delegate_;
  pulse::PulseConnection::Registration registration_;

  std::weak_ptr<StreamOutput> audioOutput_;
  std::shared_ptr<Queue> audioQueue_;
  // Bumped by every add and remove, so that buffers queued for an old output are dropped;
  // written under the lock, read on the output queue without it.
  std::atomic<uint64_t> outputToken_{0};

  Phase phase_ = Phase::idle;
  std::optional<PlatformError> startError_;
  uint64_t token_ = 0;  // newest asynchronous chain wins; bumped by every (re)open and stop
  int followAttempts_ = 0;
  bool verified_ = false;         // the stream is known to record the monitor of an output
  bool awaitingServer_ = false;   // the connection was lost while recording
  bool awaitingDefault_ = false;  // the server names no default output yet
  std::string capturedSink_;
  std::unique_ptr<pulse::PulseRecordStream> record_;
};

}  // namespace qb
