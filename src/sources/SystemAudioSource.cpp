#include "sources/SystemAudioSource.hpp"

#include <cmath>
#include <cstdio>

#include "audio/AudioOutputFormat.hpp"
#include "wire/DoubleFormat.hpp"
#include "wire/Output.hpp"

namespace qb {

namespace {

const char* boolText(bool b) { return b ? "true" : "false"; }

void log(const std::string& message) { logToStderr("SystemAudioSource: " + message); }

}  // namespace

const char* toString(SystemAudioError error) {
  switch (error) {
    case SystemAudioError::permissionDenied:
      return "permissionDenied";
    case SystemAudioError::noDisplayFound:
      return "noDisplayFound";
  }
  return "noDisplayFound";
}

std::shared_ptr<SystemAudioSource> SystemAudioSource::make(Platform platform) {
  auto source = std::make_shared<SystemAudioSource>(Passkey{}, std::move(platform));
  source->registerForWakeNotifications();
  return source;
}

SystemAudioSource::SystemAudioSource(Passkey, Platform platform)
    : executor_(*platform.executor),
      screen_(std::move(platform.screen)),
      wake_(std::move(platform.wake)),
      targetSampleRate_(AudioOutputFormat::sampleRate),
      targetChannels_(AudioOutputFormat::channels),
      streamRecoveryQueue_(executor_.makeQueue("system.recovery")),
      systemAudioQueue_(executor_.makeQueue("system.audio")),
      recoveryAttempts_(normalRecoveryBudget),
      contentionRecoveryAttempts_(contentionRecoveryBudget) {
  const double now = executor_.clock().now();
  recoveryAttempts_.reset(now);
  contentionRecoveryAttempts_.reset(now);
}

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

SystemAudioSource::~SystemAudioSource() {
  wakeObserver_.reset();
  if (callbackWatchdog_) callbackWatchdog_->cancel();
}

void SystemAudioSource::setOnAudioData(AudioDataCallback callback) {
  std::lock_guard lock(stateLock_);
  onAudioData_ = std::move(callback);
}

bool SystemAudioSource::isActive() const {
  std::lock_guard lock(stateLock_);
  return isActive_;
}

// ---- start and stop ----

std::optional<SourceError> SystemAudioSource::start() {
  uint64_t startGeneration;
  {
    std::unique_lock lock(stateLock_);
    if (isActive_ || isStopping_) {
      // isActive stays true until stop() ends, so a stop in progress is told first.
      bool stopping = isStopping_;
      lock.unlock();
      log(stopping ? "start ignored - stop in progress" : "start ignored - already active");
      return std::nullopt;
    }
    isActive_ = true;
    startGeneration = sessionGeneration_;
  }
  log("starting...");

  std::shared_ptr<CaptureStream> created;
  // A stop() followed by another start() while this one waited hands the watchdog and
  // isActive to that start; a late failure or abort here must leave them alone.
  auto ownsSession = [&] {
    std::lock_guard lock(stateLock_);
    return sessionGeneration_ == startGeneration || !isActive_;
  };
  auto fail = [&](SourceError error) -> std::optional<SourceError> {
    bool owns = ownsSession();
    if (owns) stopCallbackWatchdog();
    if (created) discardStream(created);
    if (owns) setActive(false);
    return error;
  };

  bool granted = screen_->requestPermission();
  log(granted ? "screen recording permission GRANTED" : "screen recording permission DENIED");
  if (!granted) {
    log("permission denied, cannot capture system audio");
    sendCommandResponse("SCREEN_RECORDING_PERMISSION_DENIED:");
    sendEvent("SCREEN_RECORDING_PERMISSION_DENIED");
    return fail({SourceError::Kind::permissionDenied, toString(SystemAudioError::permissionDenied)});
  }

  auto content = queryShareableContent();
  if (auto* error = std::get_if<PlatformError>(&content)) return fail({SourceError::Kind::other, error->printed()});
  const auto& shareable = std::get<ShareableContent>(content);
  log("found " + std::to_string(shareable.displays.size()) + " displays, " + std::to_string(shareable.windows.size()) +
      " windows");
  if (shareable.displays.empty()) {
    log("no displays found");
    return fail({SourceError::Kind::other, toString(SystemAudioError::noDisplayFound)});
  }
  const DisplayInfo display = shareable.displays.front();
  log("using display " + std::to_string(display.displayID) + " (" + std::to_string(display.width) + "x" +
      std::to_string(display.height) + ")");

  const ContentFilter filter = ContentFilter::forDisplay(display.displayID);
  const StreamConfiguration config = streamConfiguration();
  log(std::string("config: capturesAudio=") + boolText(config.capturesAudio) +
      ", excludesCurrentProcessAudio=" + boolText(config.excludesCurrentProcessAudio));

  created = screen_->makeStream(filter, config, weak_from_this());
  setStream(created);

  if (auto error = created->addStreamOutput(weak_from_this(), StreamOutputType::audio, systemAudioQueue_))
    return fail({SourceError::Kind::other, error->printed()});
  log("audio output handler added");

  resetCallbackState();
  updateLastCallbackTimestamp();
  startCallbackWatchdog();

  if (auto error = startCapture(*created)) return fail({SourceError::Kind::other, error->printed()});

  bool stoppedMeanwhile;
  {
    std::lock_guard lock(stateLock_);
    stoppedMeanwhile = isStopping_ || !isActive_ || sessionGeneration_ != startGeneration;
    if (stoppedMeanwhile && stream_ == created) stream_.reset();
  }
  if (stoppedMeanwhile) {
    tearDownIgnoringErrors(*created);
    if (ownsSession()) {
      stopCallbackWatchdog();
      setActive(false);
    }
    log("start aborted - stopped during startCapture");
    return std::nullopt;
  }
  setStopping(false);
  resetRecoveryState();
  log("started successfully");
  return std::nullopt;
}

void SystemAudioSource::stop() {
  std::shared_ptr<CaptureStream> stream;
  {
    std::lock_guard lock(stateLock_);
    if (!isActive_ || isStopping_) return;
    isStopping_ = true;
    ++sessionGeneration_;
    streamRecoveryScheduled_ = false;
    inContentionRecovery_ = false;
    stream = std::exchange(stream_, nullptr);
  }
  log("stopping...");
  stopCallbackWatchdog();
  if (stream) {
    if (auto error = stream->removeStreamOutput(StreamOutputType::audio))
      log("error removing stream output: " + error->printed());
    // Removing the output lets a callback already running finish; wait for it.
    systemAudioQueue_->sync([] {});
    if (auto error = stopCapture(*stream)) log("error stopping capture: " + error->printed());
  }
  setActive(false);
  setStopping(false);
  log("stopped");
}

// ---- platform waits ----

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
  {
    std::lock_guard lock(stateLock_);
    if (stream_ == stream) stream_.reset();
  }
  tearDownIgnoringErrors(*stream);
}

// ---- lock-guarded accessors ----

void SystemAudioSource::setActive(bool active) {
  std::lock_guard lock(stateLock_);
  isActive_ = active;
  if (!active) streamRecoveryScheduled_ = false;
}

void SystemAudioSource::setStopping(bool stopping) {
  std::lock_guard lock(stateLock_);
  isStopping_ = stopping;
  if (stopping) streamRecoveryScheduled_ = false;
}

void SystemAudioSource::setStream(std::shared_ptr<CaptureStream> stream) {
  std::lock_guard lock(stateLock_);
  stream_ = std::move(stream);
}

void SystemAudioSource::resetRecoveryState() {
  double now = executor_.clock().now();
  std::lock_guard lock(stateLock_);
  recoveryAttempts_.reset(now);
  streamRecoveryScheduled_ = false;
  contentionRecoveryAttempts_.reset(now);
  inContentionRecovery_ = false;
}

void SystemAudioSource::resetCallbackState() {
  std::lock_guard lock(stateLock_);
  firstCallback_ = true;
}

void SystemAudioSource::updateLastCallbackTimestamp() {
  double now = executor_.clock().now();
  std::lock_guard lock(stateLock_);
  lastCallbackAt_ = now;
}

double SystemAudioSource::callbackAgeSeconds() const {
  double now = executor_.clock().now();
  std::lock_guard lock(stateLock_);
  return lastCallbackAt_ == 0 ? 0 : now - lastCallbackAt_;
}

// ---- sample path ----

void SystemAudioSource::streamDidOutputAudio(const CaptureStream& stream, const AudioSampleBuffer& buffer) {
  {
    std::lock_guard lock(stateLock_);
    if (!stream_ || stream_.get() != &stream) return;
  }
  updateLastCallbackTimestamp();

  if (!buffer.description) {
    log("failed to get format description");
    return;
  }
  const StreamDescription& description = *buffer.description;

  bool wasFirst, wasContention;
  {
    std::lock_guard lock(stateLock_);
    wasFirst = std::exchange(firstCallback_, false);
    wasContention = std::exchange(inContentionRecovery_, false);
  }
  if (wasFirst) {
    log("first callback - channels=" + std::to_string(description.channelsPerFrame) +
        ", float=" + boolText(description.formatFlags & FormatFlags::kFloat) +
        ", rate=" + formatShortestDouble(description.sampleRate) +
        ", planar=" + boolText(description.formatFlags & FormatFlags::kNonInterleaved));
  }
  if (wasContention) {
    log("contention recovery succeeded - audio stream reclaimed");
    sendEvent("SYSTEM_AUDIO_CONTENTION_RESOLVED");
  }
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
    systemTargetFormat_ = PcmFormat{SampleFormat::Int16, double(targetSampleRate_), targetChannels_, true};
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
  if (!bytes || bytes->empty()) return;
  AudioDataCallback callback;
  {
    std::lock_guard lock(stateLock_);
    callback = onAudioData_;
  }
  if (callback) callback(*bytes);
}

// ---- wake, stream stopped ----

void SystemAudioSource::registerForWakeNotifications() {
  if (!wake_) return;
  wakeObserver_ = wake_->observeWake([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->scheduleStreamRecovery("wake_notification");
  });
}

void SystemAudioSource::streamDidStop(const CaptureStream& stream, const PlatformError& error) {
  const std::string code = std::to_string(error.code);
  bool current;
  {
    std::lock_guard lock(stateLock_);
    current = stream_ && stream_.get() == &stream;
  }
  if (!current) {
    log("ignoring error from stale stream (code: " + code + ")");
    return;
  }
  log("stream stopped with error: " + error.printed() + " (code: " + code + ")");
  if (error.code == StreamErrorCode::kTakenOver) {
    log("contention detected (-3805) - another app interrupted stream, fighting to reclaim...");
    sendEvent("SYSTEM_AUDIO_CONTENTION:-3805");
    scheduleContentionRecovery();
  } else if (error.code == StreamErrorCode::kDisplayUnavailable) {
    scheduleStreamRecovery("display_unavailable_-3815");
  } else {
    scheduleStreamRecovery("stream_error_" + code);
  }
}

// ---- watchdog ----

void SystemAudioSource::startCallbackWatchdog() {
  std::optional<TaskHandle> old;
  {
    std::lock_guard lock(stateLock_);
    old = std::exchange(callbackWatchdog_, std::nullopt);
  }
  if (old) old->cancel();
  auto timer = scheduleRepeating(streamRecoveryQueue_, callbackWatchdogInterval, callbackWatchdogInterval,
                                 [weak = weak_from_this()] {
                                   if (auto self = weak.lock()) self->watchdogTick();
                                 });
  std::optional<TaskHandle> displaced;
  {
    std::lock_guard lock(stateLock_);
    displaced = std::exchange(callbackWatchdog_, timer);
  }
  // Two starts of the watchdog racing must not leave an orphan timer running.
  if (displaced) displaced->cancel();
}

void SystemAudioSource::stopCallbackWatchdog() {
  std::optional<TaskHandle> old;
  {
    std::lock_guard lock(stateLock_);
    old = std::exchange(callbackWatchdog_, std::nullopt);
  }
  if (old) old->cancel();
}

void SystemAudioSource::watchdogTick() {
  if (!isActive()) return;
  double age = callbackAgeSeconds();
  bool contention;
  {
    std::lock_guard lock(stateLock_);
    contention = inContentionRecovery_;
  }
  double limit = contention ? contentionStallTimeout : callbackStallTimeout;
  if (age < limit) return;
  if (contention)
    scheduleContentionRecovery();
  else
    scheduleStreamRecovery("callback_stalled_" + std::to_string(static_cast<int64_t>(age)) + "s");
}

// ---- normal recovery ----

void SystemAudioSource::scheduleStreamRecovery(const std::string& reason) {
  streamRecoveryQueue_->async([weak = weak_from_this(), reason] {
    auto self = weak.lock();
    if (!self) return;
    auto stamps = self->shouldScheduleRecovery(reason);
    if (!stamps) return;
    log("scheduling recovery (" + reason + ") in 2.5s");
    sendEvent("SYSTEM_AUDIO_RECOVERY_SCHEDULED:" + reason);
    self->streamRecoveryQueue_->asyncAfter(normalRecoveryDelay, [weak, reason, stamps = *stamps] {
      if (auto self = weak.lock()) self->rebuildStream(RecoveryKind::normal, reason, stamps.generation, stamps.nonce);
    });
  });
}

std::optional<SystemAudioSource::Stamps> SystemAudioSource::shouldScheduleRecovery(const std::string& reason) {
  double now = executor_.clock().now();
  {
    std::lock_guard lock(stateLock_);
    if (!isActive_ || isStopping_) {
      streamRecoveryScheduled_ = false;
      return std::nullopt;
    }
    if (streamRecoveryScheduled_) return std::nullopt;
    if (recoveryAttempts_.take(now)) {
      streamRecoveryScheduled_ = true;
      ++recoveryNonce_;
      return Stamps{sessionGeneration_, recoveryNonce_};
    }
  }
  log("recovery skipped (max attempts) reason=" + reason);
  return std::nullopt;
}

// ---- contention recovery ----

void SystemAudioSource::scheduleContentionRecovery() {
  streamRecoveryQueue_->async([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    auto decision = self->shouldScheduleContentionRecovery();
    if (decision.exhausted) {
      log("contention recovery exhausted (" + std::to_string(decision.attempt) + "/" +
          std::to_string(contentionRecoveryBudget.maxAttempts()) +
          ") - another app is persistently blocking audio capture");
      sendEvent("SYSTEM_AUDIO_CONTENTION_EXHAUSTED");
      return;
    }
    if (!decision.shouldProceed) return;
    char delay[32];
    std::snprintf(delay, sizeof delay, "%.1f", contentionRecoveryDelay);
    log("contention recovery " + std::to_string(decision.attempt) + "/" +
        std::to_string(contentionRecoveryBudget.maxAttempts()) + " in " + delay + "s");
    sendEvent("SYSTEM_AUDIO_RECOVERY_SCHEDULED:contention_-3805");
    self->streamRecoveryQueue_->asyncAfter(contentionRecoveryDelay, [weak, decision] {
      if (auto self = weak.lock())
        self->rebuildStream(RecoveryKind::contention, "contention_-3805", decision.generation, decision.nonce);
    });
  });
}

SystemAudioSource::ContentionDecision SystemAudioSource::shouldScheduleContentionRecovery() {
  double now = executor_.clock().now();
  ContentionDecision decision;
  bool preempted = false;
  {
    std::lock_guard lock(stateLock_);
    if (!isActive_ || isStopping_) return decision;
    if (streamRecoveryScheduled_ && inContentionRecovery_) return decision;
    if (streamRecoveryScheduled_) {
      // The pending normal rebuild will find the nonce changed and give its attempt back.
      streamRecoveryScheduled_ = false;
      preempted = true;
    }
    if (!contentionRecoveryAttempts_.take(now)) {
      inContentionRecovery_ = false;
      decision.exhausted = true;
      decision.attempt = contentionRecoveryAttempts_.used();
    } else {
      streamRecoveryScheduled_ = true;
      inContentionRecovery_ = true;
      ++recoveryNonce_;
      decision.shouldProceed = true;
      decision.attempt = contentionRecoveryAttempts_.used();
      decision.generation = sessionGeneration_;
      decision.nonce = recoveryNonce_;
    }
  }
  if (preempted) log("preempting pending normal recovery with contention path");
  return decision;
}

// ---- rebuilding ----

bool SystemAudioSource::isCurrentLocked(uint64_t generation, uint64_t nonce) const {
  return isActive_ && !isStopping_ && sessionGeneration_ == generation && recoveryNonce_ == nonce;
}

void SystemAudioSource::rebuildStream(RecoveryKind kind, const std::string& reason, uint64_t generation,
                                      uint64_t nonce) {
  {
    std::lock_guard lock(stateLock_);
    if (isCurrentLocked(generation, nonce)) {
      executor_.runAsync([weak = weak_from_this(), reason, generation, nonce] {
        auto self = weak.lock();
        if (!self) return;
        bool succeeded = self->rebuildBody(reason, generation, nonce);
        self->completeRebuild(generation, nonce, succeeded);
      });
      return;
    }
    bool generationMatches = sessionGeneration_ == generation;
    if (generationMatches && recoveryNonce_ == nonce) streamRecoveryScheduled_ = false;
    // A normal rebuild superseded by a contention one gives its attempt back.
    if (generationMatches && recoveryNonce_ != nonce && kind == RecoveryKind::normal) recoveryAttempts_.giveBack();
  }
  log("rebuildStream skipped (" + reason + ") - stale nonce or inactive");
}

bool SystemAudioSource::rebuildBody(const std::string& reason, uint64_t generation, uint64_t nonce) {
  std::shared_ptr<CaptureStream> old;
  {
    std::lock_guard lock(stateLock_);
    if (!isCurrentLocked(generation, nonce)) return false;
    old = std::exchange(stream_, nullptr);
  }
  if (old) {
    if (auto error = old->removeStreamOutput(StreamOutputType::audio))
      log("failed to remove stream output (" + reason + "): " + error->printed());
    systemAudioQueue_->sync([this] {
      systemConverter_.reset();
      systemConverterInput_.reset();
      systemTargetFormat_.reset();
    });
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
  if (auto error = fresh->addStreamOutput(weak_from_this(), StreamOutputType::audio, systemAudioQueue_)) {
    log("failed to rebuild (" + reason + "): " + error->printed());
    discardStream(fresh);
    return false;
  }
  {
    std::unique_lock lock(stateLock_);
    if (!isCurrentLocked(generation, nonce)) {
      lock.unlock();
      (void)fresh->removeStreamOutput(StreamOutputType::audio);
      return false;
    }
    stream_ = fresh;
  }
  resetCallbackState();

  if (auto error = startCapture(*fresh)) {
    log("failed to rebuild (" + reason + "): " + error->printed());
    discardStream(fresh);
    return false;
  }
  {
    std::unique_lock lock(stateLock_);
    if (!isCurrentLocked(generation, nonce)) {
      if (stream_ == fresh) stream_.reset();
      lock.unlock();
      tearDownIgnoringErrors(*fresh);
      log("recovery aborted (" + reason + ") - stopped during startCapture");
      return false;
    }
  }
  updateLastCallbackTimestamp();
  log("recovered (" + reason + ")");
  return true;
}

void SystemAudioSource::completeRebuild(uint64_t generation, uint64_t nonce, bool succeeded) {
  bool retry = false;
  {
    std::lock_guard lock(stateLock_);
    bool stampsMatch = sessionGeneration_ == generation && recoveryNonce_ == nonce;
    if (stampsMatch) streamRecoveryScheduled_ = false;
    retry = !succeeded && inContentionRecovery_ && isActive_ && !isStopping_ && stampsMatch;
  }
  if (retry) scheduleContentionRecovery();
}

}  // namespace qb
