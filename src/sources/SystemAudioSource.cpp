#include "sources/SystemAudioSource.hpp"

#include <cmath>
#include <cstdio>

#include "audio/AudioOutputFormat.hpp"
#include "wire/DoubleFormat.hpp"
#include "wire/Output.hpp"

namespace qb {

namespace {

const char* boolText(bool b) { return b ? "true" : "false"; }

constexpr PrefixedLog log{"SystemAudioSource: "};

std::string withoutNewlines(std::string text) {
  for (char& c : text)
    if (c == '\n') c = ' ';
  return text;
}

}  // namespace

std::string_view describe(SystemAudioError error) {
  switch (error) {
    case SystemAudioError::permissionDenied:
      return "permissionDenied";
    case SystemAudioError::noDisplayFound:
      return "noDisplayFound";
  }
  return "noDisplayFound";
}

std::shared_ptr<SystemAudioSource> SystemAudioSource::make(Platform platform) {
  auto source = std::make_shared<SystemAudioSource>(Token{}, std::move(platform));
  if (source->wake_) {
    source->wakeObserver_ = source->wake_->observeWake([weak = source->weak_from_this()] {
      if (auto self = weak.lock())
        self->queue_->async([weak] {
          if (auto self = weak.lock()) self->requestRecovery("wake_notification", false);
        });
    });
  }
  return source;
}

SystemAudioSource::SystemAudioSource(Token, Platform platform)
    : executor_(*platform.executor),
      screen_(std::move(platform.screen)),
      wake_(std::move(platform.wake)),
      queue_(executor_.makeQueue("system.audio")),
      watchdog_(executor_.clock()) {
  const double now = executor_.clock().now();
  state_.normalAttempts.reset(now);
  state_.contentionAttempts.reset(now);
}

SystemAudioSource::~SystemAudioSource() { wakeObserver_.reset(); }

StreamConfiguration SystemAudioSource::streamConfiguration() {
  StreamConfiguration config;
  config.capturesAudio = true;
  config.excludesCurrentProcessAudio = true;
  config.sampleRate = AudioOutputFormat::sampleRate;
  config.channelCount = AudioOutputFormat::channels;
  config.width = 16;
  config.height = 16;
  config.pixelFormat = kPixelFormat420v;
  return config;
}

void SystemAudioSource::onQueue(const std::function<void()>& work) const { queue_->sync(work); }

void SystemAudioSource::setOnAudioData(AudioDataCallback callback) {
  onQueue([&] { onAudioData_ = std::move(callback); });
}

bool SystemAudioSource::isActive() const {
  bool active = false;
  onQueue([&] {
    active = state_.phase != SystemAudioRecovery::Phase::idle && state_.phase != SystemAudioRecovery::Phase::waiting;
  });
  return active;
}

// ---- start and stop ----

std::optional<SourceError> SystemAudioSource::start() {
  using Gate = SystemAudioRecovery::StartGate;
  Gate gate;
  uint64_t session = 0;
  onQueue([&] {
    gate = state_.beginStart();
    session = state_.stamp.session;
  });
  if (gate != Gate::accepted) {
    log(gate == Gate::stopInProgress ? "start ignored - stop in progress" : "start ignored - already active");
    return std::nullopt;
  }
  log("starting...");
  auto error = attemptStart(session, false);
  if (!error) return std::nullopt;
  bool waiting = false;
  onQueue([&] {
    waiting = state_.phase == SystemAudioRecovery::Phase::waiting && state_.stamp.session == session;
    // A refused permission is said by its own event.
    if (error->kind != SourceError::Kind::permissionDenied)
      announceDown("SYSTEM_AUDIO_START_FAILED:" + withoutNewlines(error->description));
    if (waiting) scheduleStartRetry(session);
  });
  return error;
}

void SystemAudioSource::scheduleStartRetry(uint64_t session) {
  queue_->asyncAfter(SystemAudioRecovery::startRetryInterval, [weak = weak_from_this(), session] {
    auto self = weak.lock();
    if (!self || !self->state_.beginRetry(session)) return;
    self->executor_.runAsync([weak, session] {
      if (auto self = weak.lock()) self->retryStart(session);
    });
  });
}

void SystemAudioSource::retryStart(uint64_t session) {
  (void)attemptStart(session, true);
  onQueue([&] {
    if (state_.stamp.session != session) return;
    if (state_.phase == SystemAudioRecovery::Phase::running) {
      log("started successfully after retrying");
      announceBack();
    }
    if (state_.phase == SystemAudioRecovery::Phase::waiting) scheduleStartRetry(session);
  });
}

void SystemAudioSource::announceDown(const std::string& event) {
  if (std::exchange(announcedDown_, true)) return;
  sendEvent(event);
}

void SystemAudioSource::announceBack() {
  if (std::exchange(announcedDown_, false)) sendEvent("SYSTEM_AUDIO_RESUMED");
}

std::optional<SourceError> SystemAudioSource::attemptStart(uint64_t session, bool quiet) {
  auto say = [quiet](const std::string& message) {
    if (!quiet) log(message);
  };
  std::shared_ptr<CaptureStream> created;
  // A stop() and another start() while this one waited hand the watchdog and the phase to
  // that start; a late failure here must leave them alone.
  auto fail = [&](SourceError error) -> std::optional<SourceError> {
    bool owns = false;
    onQueue([&] {
      owns = state_.ownsStart(session);
      if (owns) watchdog_.stop();
    });
    if (created) discardStream(created);
    if (owns) onQueue([&] { state_.startFailed(session, error.kind != SourceError::Kind::permissionDenied); });
    return error;
  };

  bool granted = screen_->requestPermission();
  say(granted ? "screen recording permission GRANTED" : "screen recording permission DENIED");
  if (!granted) {
    log("permission denied, cannot capture system audio");
    sendCommandResponse("SCREEN_RECORDING_PERMISSION_DENIED:");
    sendEvent("SCREEN_RECORDING_PERMISSION_DENIED");
    return fail({SourceError::Kind::permissionDenied, std::string(describe(SystemAudioError::permissionDenied))});
  }

  auto content = queryShareableContent();
  if (auto* error = std::get_if<PlatformError>(&content)) return fail({SourceError::Kind::other, error->printed()});
  const auto& shareable = std::get<ShareableContent>(content);
  say("found " + std::to_string(shareable.displays.size()) + " displays, " + std::to_string(shareable.windows.size()) +
      " windows");
  if (shareable.displays.empty()) {
    say("no displays found");
    return fail({SourceError::Kind::other, std::string(describe(SystemAudioError::noDisplayFound))});
  }
  const DisplayInfo display = shareable.displays.front();
  say("using display " + std::to_string(display.displayID) + " (" + std::to_string(display.width) + "x" +
      std::to_string(display.height) + ")");

  const StreamConfiguration config = streamConfiguration();
  say(std::string("config: capturesAudio=") + boolText(config.capturesAudio) +
      ", excludesCurrentProcessAudio=" + boolText(config.excludesCurrentProcessAudio));
  created = screen_->makeStream(ContentFilter::forDisplay(display.displayID), config, weak_from_this());
  onQueue([&] { stream_ = created; });

  if (auto error = created->addStreamOutput(weak_from_this(), StreamOutputType::audio, queue_))
    return fail({SourceError::Kind::other, error->printed()});
  say("audio output handler added");

  // The watchdog measures from this moment.
  onQueue([&] {
    firstCallback_ = true;
    watchdog_.heartbeat();
    armWatchdog();
  });

  if (auto error = startCapture(*created)) return fail({SourceError::Kind::other, error->printed()});

  bool stoppedMeanwhile = false, owns = false;
  onQueue([&] {
    stoppedMeanwhile = state_.stoppedSince(session);
    if (!stoppedMeanwhile) {
      state_.startSucceeded(executor_.clock().now());
      return;
    }
    if (stream_ == created) stream_.reset();
    owns = state_.ownsStart(session);
  });
  if (stoppedMeanwhile) {
    tearDownIgnoringErrors(*created);
    if (owns)
      onQueue([&] {
        watchdog_.stop();
        state_.becameIdle();
      });
    log("start aborted - stopped during startCapture");
    return std::nullopt;
  }
  say("started successfully");
  return std::nullopt;
}

void SystemAudioSource::stop() {
  bool stopping = false;
  std::shared_ptr<CaptureStream> stream;
  onQueue([&] {
    stopping = state_.beginStop();
    if (!stopping) return;
    stream = std::exchange(stream_, nullptr);
    watchdog_.stop();
    announcedDown_ = false;
  });
  if (!stopping) return;
  log("stopping...");
  if (stream) {
    if (auto error = stream->removeStreamOutput(StreamOutputType::audio))
      log("error removing stream output: " + error->printed());
    // Removing the output lets a callback already running finish; wait for it.
    onQueue([] {});
    if (auto error = stopCapture(*stream)) log("error stopping capture: " + error->printed());
  }
  onQueue([&] { state_.becameIdle(); });
  log("stopped");
}

// ---- waits on the capture service ----

Result<ShareableContent> SystemAudioSource::queryShareableContent() {
  Completion<Result<ShareableContent>> done;
  screen_->shareableContent(false, true, [done](Result<ShareableContent> r) { done.complete(std::move(r)); });
  return done.wait(executor_);
}

std::optional<PlatformError> SystemAudioSource::startCapture(CaptureStream& stream) {
  Completion<std::optional<PlatformError>> done;
  stream.startCapture([done](std::optional<PlatformError> e) { done.complete(std::move(e)); });
  return done.wait(executor_);
}

std::optional<PlatformError> SystemAudioSource::stopCapture(CaptureStream& stream) {
  Completion<std::optional<PlatformError>> done;
  stream.stopCapture([done](std::optional<PlatformError> e) { done.complete(std::move(e)); });
  return done.wait(executor_);
}

void SystemAudioSource::tearDownIgnoringErrors(CaptureStream& stream) {
  (void)stream.removeStreamOutput(StreamOutputType::audio);
  (void)stopCapture(stream);
}

void SystemAudioSource::discardStream(const std::shared_ptr<CaptureStream>& stream) {
  onQueue([&] {
    if (stream_ == stream) stream_.reset();
  });
  tearDownIgnoringErrors(*stream);
}

// ---- sample path ----

void SystemAudioSource::streamDidOutputAudio(const CaptureStream& stream, const AudioSampleBuffer& buffer) {
  if (!stream_ || stream_.get() != &stream) return;
  watchdog_.heartbeat();
  if (!buffer.description) {
    log("failed to get format description");
    return;
  }
  const StreamDescription& description = *buffer.description;
  if (std::exchange(firstCallback_, false)) {
    log("first callback - channels=" + std::to_string(description.channelsPerFrame) +
        ", float=" + boolText(description.formatFlags & FormatFlags::kFloat) +
        ", rate=" + formatShortestDouble(description.sampleRate) +
        ", planar=" + boolText(description.formatFlags & FormatFlags::kNonInterleaved));
  }
  if (state_.audioArrived()) {
    log("contention recovery succeeded - audio stream reclaimed");
    sendEvent("SYSTEM_AUDIO_CONTENTION_RESOLVED");
  }
  announceBack();
  if (buffer.numSamples < 1) return;
  convertAndDeliver(buffer, description);
}

void SystemAudioSource::convertAndDeliver(const AudioSampleBuffer& buffer, const StreamDescription& description) {
  // The service delivers 32-bit float whatever the flags say; only interleaving is read.
  if (!(description.sampleRate > 0) || !std::isfinite(description.sampleRate) || description.channelsPerFrame < 1 ||
      description.channelsPerFrame > 2) {
    log("unsupported audio format: " + formatShortestDouble(description.sampleRate) + "Hz/" +
        std::to_string(description.channelsPerFrame) + "ch");
    return;
  }
  const PcmFormat input{SampleFormat::Float32, description.sampleRate, static_cast<int>(description.channelsPerFrame),
                        (description.formatFlags & FormatFlags::kNonInterleaved) == 0};
  auto pcm = copyToPcmBuffer(buffer, input);
  if (!pcm) {
    log("failed to copy PCM data, status: " + std::to_string(kCopyPcmDataTooShort));
    return;
  }

  if (!systemTargetFormat_)
    systemTargetFormat_ =
        PcmFormat{SampleFormat::Int16, double(AudioOutputFormat::sampleRate), AudioOutputFormat::channels, true};
  if (!systemConverter_ || systemConverterInput_ != input) {
    // Only conversion errors are ours to report; the pipeline's other notes stay quiet.
    systemConverter_ = std::make_unique<AudioConverterPipeline>([](const ConverterDiagnostic& d) {
      if (d.kind == ConverterDiagnostic::Kind::conversionError) log("conversion error: " + d.error);
    });
    systemConverterInput_ = input;
    log("created converter " + formatShortestDouble(input.sampleRate) + "Hz \u2192 " +
        formatShortestDouble(systemTargetFormat_->sampleRate) + "Hz");
  }

  auto bytes = systemConverter_->process(*pcm);
  if (bytes && !bytes->empty() && onAudioData_)
    onAudioData_(*bytes, systemConverter_->outputCaptureTime(buffer.captureTimeUs, *pcm, bytes->size()));
}

// ---- causes of recovery ----

void SystemAudioSource::streamDidStop(const CaptureStream& stream, const PlatformError& error) {
  // Only the identity is compared on the queue; the stream may be gone by then.
  queue_->async([weak = weak_from_this(), which = &stream, error] {
    if (auto self = weak.lock()) self->streamStopped(which, error);
  });
}

void SystemAudioSource::streamStopped(const CaptureStream* stream, const PlatformError& error) {
  const std::string code = std::to_string(error.code);
  if (!stream_ || stream_.get() != stream) {
    log("ignoring error from stale stream (code: " + code + ")");
    return;
  }
  // The dead stream stays current until a rebuild or a stop replaces it.
  log("stream stopped with error: " + error.printed() + " (code: " + code + ")");
  if (error.code == StreamErrorCode::kTakenOver) {
    log("contention detected (-3805) - another app interrupted stream, fighting to reclaim...");
    sendEvent("SYSTEM_AUDIO_CONTENTION:-3805");
    requestContentionRecovery();
  } else if (error.code == StreamErrorCode::kDisplayUnavailable) {
    requestRecovery("display_unavailable_-3815");
  } else {
    requestRecovery("stream_error_" + code);
  }
}

void SystemAudioSource::armWatchdog() {
  watchdog_.start(queue_, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->watchdogTick();
  });
}

void SystemAudioSource::watchdogTick() {
  // Every tick of a silence tries again; the pending order and the budgets decide.
  const double age = watchdog_.age();
  switch (state_.stallAfter(age)) {
    case SystemAudioRecovery::Stall::none:
      break;
    case SystemAudioRecovery::Stall::normal:
      requestRecovery("callback_stalled_" + std::to_string(static_cast<int64_t>(age)) + "s");
      break;
    case SystemAudioRecovery::Stall::contention:
      requestContentionRecovery();
      break;
  }
}

// ---- ordering rebuilds ----

void SystemAudioSource::requestRecovery(const std::string& reason, bool streamDown) {
  using Action = SystemAudioRecovery::NormalVerdict::Action;
  const auto verdict = state_.shouldScheduleRecovery(executor_.clock().now());
  if (verdict.action == Action::exhausted) {
    log("recovery skipped (max attempts) reason=" + reason);
    if (streamDown) announceDown("SYSTEM_AUDIO_STOPPED:recoveryExhausted");
  }
  if (verdict.action != Action::schedule) return;
  log("scheduling recovery (" + reason + ") in 2.5s");
  sendEvent("SYSTEM_AUDIO_RECOVERY_SCHEDULED:" + reason);
  queue_->asyncAfter(SystemAudioRecovery::normalRecoveryDelay, [weak = weak_from_this(), reason, verdict] {
    if (auto self = weak.lock()) self->rebuildWhenDue(RecoveryKind::normal, reason, verdict.stamp);
  });
}

void SystemAudioSource::requestContentionRecovery() {
  using Action = SystemAudioRecovery::ContentionVerdict::Action;
  const auto verdict = state_.shouldScheduleContentionRecovery(executor_.clock().now());
  if (verdict.preemptedNormal) log("preempting pending normal recovery with contention path");
  const std::string of = std::to_string(verdict.attempt) + "/" +
                         std::to_string(SystemAudioRecovery::contentionRecoveryBudget.maxAttempts());
  if (verdict.action == Action::exhausted) {
    log("contention recovery exhausted (" + of + ") - another app is persistently blocking audio capture");
    sendEvent("SYSTEM_AUDIO_CONTENTION_EXHAUSTED");
    announceDown("SYSTEM_AUDIO_STOPPED:contentionExhausted");
    return;
  }
  if (verdict.action != Action::schedule) return;
  char delay[32];
  std::snprintf(delay, sizeof delay, "%.1f", SystemAudioRecovery::contentionRecoveryDelay);
  log("contention recovery " + of + " in " + delay + "s");
  sendEvent("SYSTEM_AUDIO_RECOVERY_SCHEDULED:contention_-3805");
  queue_->asyncAfter(SystemAudioRecovery::contentionRecoveryDelay, [weak = weak_from_this(), verdict] {
    if (auto self = weak.lock()) self->rebuildWhenDue(RecoveryKind::contention, "contention_-3805", verdict.stamp);
  });
}

void SystemAudioSource::rebuildWhenDue(RecoveryKind kind, const std::string& reason, RecoveryStamp order) {
  if (!state_.isCurrent(order)) {
    state_.rebuildSkipped(kind, order);
    log("rebuildStream skipped (" + reason + ") - stale nonce or inactive");
    return;
  }
  // Rebuilding waits on the capture service: off the queue.
  executor_.runAsync([weak = weak_from_this(), reason, order] {
    auto self = weak.lock();
    if (!self) return;
    const bool succeeded = self->rebuild(reason, order);
    self->onQueue([&] {
      if (succeeded) self->announceBack();
      if (self->state_.rebuildFinished(order, succeeded)) self->requestContentionRecovery();
    });
  });
}

// ---- rebuilding ----

bool SystemAudioSource::rebuild(const std::string& reason, RecoveryStamp order) {
  bool current = false;
  std::shared_ptr<CaptureStream> old;
  onQueue([&] {
    current = state_.isCurrent(order);
    if (!current) return;
    old = std::exchange(stream_, nullptr);
    // No buffer of the old stream gets past the identity check any more.
    systemConverter_.reset();
    systemConverterInput_.reset();
    systemTargetFormat_.reset();
  });
  if (!current) return false;
  if (old) {
    if (auto error = old->removeStreamOutput(StreamOutputType::audio))
      log("failed to remove stream output (" + reason + "): " + error->printed());
    if (auto error = stopCapture(*old)) log("failed to stop capture (" + reason + "): " + error->printed());
  }

  auto content = queryShareableContent();
  if (auto* error = std::get_if<PlatformError>(&content)) {
    log("failed to rebuild (" + reason + "): " + error->printed());
    return false;
  }
  const auto& shareable = std::get<ShareableContent>(content);
  if (shareable.displays.empty()) {
    log("recovery skipped (" + reason + ") - no display");
    return false;
  }
  const ContentFilter filter = ContentFilter::forDisplay(shareable.displays.front().displayID);
  auto fresh = screen_->makeStream(filter, streamConfiguration(), weak_from_this());
  if (auto error = fresh->addStreamOutput(weak_from_this(), StreamOutputType::audio, queue_)) {
    log("failed to rebuild (" + reason + "): " + error->printed());
    discardStream(fresh);
    return false;
  }
  onQueue([&] {
    current = state_.isCurrent(order);
    if (!current) return;
    stream_ = fresh;
    firstCallback_ = true;
  });
  if (!current) {
    (void)fresh->removeStreamOutput(StreamOutputType::audio);
    return false;
  }

  if (auto error = startCapture(*fresh)) {
    log("failed to rebuild (" + reason + "): " + error->printed());
    discardStream(fresh);
    return false;
  }
  onQueue([&] {
    current = state_.isCurrent(order);
    if (current)
      watchdog_.heartbeat();
    else if (stream_ == fresh)
      stream_.reset();
  });
  if (!current) {
    tearDownIgnoringErrors(*fresh);
    log("recovery aborted (" + reason + ") - stopped during startCapture");
    return false;
  }
  log("recovered (" + reason + ")");
  return true;
}

}  // namespace qb
