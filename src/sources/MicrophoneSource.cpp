#include "sources/MicrophoneSource.hpp"

#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
#include <utility>

#include "audio/SampleBufferPcm.hpp"
#include "wire/DoubleFormat.hpp"
#include "wire/JsonText.hpp"
#include "wire/Output.hpp"

namespace qb {

namespace {

std::string boolText(bool value) { return value ? "true" : "false"; }

constexpr PrefixedLog log{"[Swift Mic] "};
void pipelineLog(const ConverterDiagnostic& d) { writeStderrLine("[MicPipeline] " + d.message); }

}  // namespace

std::string_view MicrophoneSource::describe(MicrophoneError error) {
  switch (error) {
    case MicrophoneError::permissionDenied:
      return "permissionDenied";
    case MicrophoneError::sessionStartFailed:
      return "sessionStartFailed";
  }
  return "sessionStartFailed";
}

std::shared_ptr<MicrophoneSource> MicrophoneSource::make(Platform& platform, std::optional<std::string> deviceID) {
  auto source = std::make_shared<MicrophoneSource>(Token{}, platform, std::move(deviceID));
  source->install();
  return source;
}

MicrophoneSource::MicrophoneSource(Token, Platform& platform, std::optional<std::string> deviceID)
    : executor_(*platform.executor),
      audio_(platform.audio),
      diagnostics_(audio_),
      sessionQueue_(executor_.makeQueue("mic.session")),
      session_(audio_->makeSession()),
      chosenID_(std::move(deviceID)),
      processingQueue_(executor_.makeQueue("mic.processing")),
      pipeline_(std::make_shared<AudioConverterPipeline>(pipelineLog)) {}

void MicrophoneSource::install() {
  std::weak_ptr<MicrophoneSource> weak = weak_from_this();
  session_->setObserver(weak);
  // Installed for the whole life of the source, so the selected device follows the
  // default also while idle.
  defaultInputListener_ = audio_->listenDefaultInputDevice([weak] {
    if (auto self = weak.lock()) self->handleDeviceChange();
  });
}

MicrophoneSource::~MicrophoneSource() {
  defaultInputListener_.reset();
  session_->setObserver({});
  {
    std::lock_guard lock(deviceChangeMutex_);
    deviceChangeWorkItem_.cancel();
  }
  // The block keeps the queue alive too: a queue drops its pending work once its last
  // reference goes.
  auto session = session_;
  auto queue = sessionQueue_;
  queue->async([session, queue] {
    if (session->isRunning()) session->stopRunning();
  });
}

void MicrophoneSource::withState(const std::function<void()>& work) const { processingQueue_->sync(work); }

bool MicrophoneSource::capturing() const { return phase() == Phase::capturing; }

MicrophoneSource::Phase MicrophoneSource::phase() const {
  Phase result = Phase::idle;
  withState([&] { result = phase_; });
  return result;
}

void MicrophoneSource::setOnAudioData(AudioDataCallback callback) {
  withState([&] { onAudioData_ = std::move(callback); });
}

bool MicrophoneSource::isActive() const { return capturing(); }

std::optional<std::string> MicrophoneSource::selectedDeviceID() const {
  std::optional<std::string> id;
  withState([&] {
    if (!selected_.uniqueID.empty()) id = selected_.uniqueID;
  });
  return id;
}

std::optional<SourceError> MicrophoneSource::start() {
  log("Starting...");
  std::optional<MicrophoneError> failure;
  if (!audio_->requestAccess()) {
    log("Permission denied");
    failure = MicrophoneError::permissionDenied;
    // Nothing to wait for: asking again would be refused again.
    sendEvent("MICROPHONE_START_FAILED:" + std::string(describe(*failure)));
  } else {
    std::weak_ptr<MicrophoneSource> weak = weak_from_this();
    sessionQueue_->sync([weak, &failure] {
      auto self = weak.lock();
      failure = self ? self->startOnSessionQueue() : MicrophoneError::sessionStartFailed;
    });
  }
  if (!failure) return std::nullopt;
  auto kind =
      *failure == MicrophoneError::permissionDenied ? SourceError::Kind::permissionDenied : SourceError::Kind::other;
  return SourceError{kind, std::string(describe(*failure))};
}

std::optional<MicrophoneSource::MicrophoneError> MicrophoneSource::startOnSessionQueue() {
  if (capturing()) return std::nullopt;
  if (startCapture()) return std::nullopt;
  // Said here, on the session queue, so that it comes before a resume that a device
  // change queued behind this start may bring.
  withState([&] { phase_ = Phase::waiting; });
  sendEvent("MICROPHONE_START_FAILED:" + std::string(describe(MicrophoneError::sessionStartFailed)));
  return MicrophoneError::sessionStartFailed;
}

bool MicrophoneSource::startCapture() {
  if (!configureSession()) {
    log("Session configuration failed (no inputs)");
    return false;
  }
  if (!session_->isRunning()) session_->startRunning();
  if (!session_->isRunning()) {
    log("Session failed to start");
    return false;
  }
  const double now = executor_.clock().uptime();
  CaptureDevice selected;
  withState([&] {
    phase_ = Phase::capturing;
    stats_.restart(now);
    selected = selected_;
  });
  diagnostics_.emitCaptureStart(selected);
  log("Started successfully, session.isRunning=" + boolText(session_->isRunning()));
  return true;
}

void MicrophoneSource::startWhileWaiting() {
  if (phase() != Phase::waiting || !startCapture()) return;
  sendEvent("MICROPHONE_RESUMED");
}

void MicrophoneSource::stop() {
  log("Stopping...");
  std::weak_ptr<MicrophoneSource> weak = weak_from_this();
  sessionQueue_->sync([weak] {
    auto self = weak.lock();
    if (!self || self->phase() == Phase::idle) return;
    if (self->session_->isRunning()) self->session_->stopRunning();
    self->withState([&] { self->phase_ = Phase::idle; });
    log("Stopped");
  });
}

bool MicrophoneSource::configureSession() {
  session_->beginConfiguration();
  struct Commit {
    CaptureSession& session;
    ~Commit() { session.commitConfiguration(); }
  } commit{*session_};

  for (const auto& input : session_->inputs()) session_->removeInput(input);

  auto device = deviceToRecord();
  if (!device) {
    log(chosenID_ ? "Chosen device " + *chosenID_ + " not listed now" : std::string("No default audio device found"));
    return false;
  }
  auto made = audio_->makeInput(*device);
  if (!made.input) {
    log("Failed to create input: " + made.error.printed());
    return false;
  }
  if (!session_->canAddInput(*made.input)) {
    log("Cannot add input for device: " + device->localizedName);
    return false;
  }
  session_->addInput(made.input);
  withState([&] { selected_ = *device; });
  log("Using device: " + device->localizedName);

  if (!session_->hasAudioDataOutput()) {
    if (!session_->canAddAudioDataOutput()) {
      log("Cannot add audio output");
      return false;
    }
    std::weak_ptr<MicrophoneSource> weak = weak_from_this();
    session_->addAudioDataOutput(processingQueue_, [weak](const AudioSampleBuffer& buffer) {
      if (auto self = weak.lock()) self->captureOutput(buffer);
    });
    log("Audio output added");
  }

  if (session_->inputs().empty()) {
    log("No audio inputs configured after setup");
    return false;
  }
  return true;
}

std::optional<CaptureDevice> MicrophoneSource::deviceToRecord() {
  if (!chosenID_) return audio_->defaultDevice();
  auto devices = audio_->discoverDevices();
  for (auto& device : devices)
    if (device.uniqueID == *chosenID_) return device;
  // An empty list is more likely a server that cannot answer now than no microphone at all.
  if (devices.empty()) return std::nullopt;
  auto fallback = audio_->defaultDevice();
  log("Chosen device " + *chosenID_ + " is gone, falling back to the default device");
  nlohmann::json event{{"deviceId", *chosenID_}};
  if (fallback) {
    event["defaultDeviceId"] = fallback->uniqueID;
    event["defaultDeviceName"] = fallback->localizedName;
  }
  sendEvent("MIC_DEVICE_FALLBACK:" + jsonText(event));
  chosenID_.reset();
  return fallback;
}

void MicrophoneSource::captureOutput(const AudioSampleBuffer& sampleBuffer) {
  const int64_t n = ++stats_.callbackCount;
  const std::string tag = "Callback #" + std::to_string(n) + ": ";

  if (MicrophoneCaptureStats::logsProgress(n)) {
    if (const auto& d = sampleBuffer.description) {
      log(tag + formatShortestDouble(d->sampleRate) + "Hz/" + std::to_string(d->channelsPerFrame) +
          "ch, frames=" + std::to_string(sampleBuffer.numSamples));
    } else {
      log(tag + "(no format desc)");
    }
  }

  auto pcm = convertToPCMBuffer(sampleBuffer);
  if (!pcm) {
    if (MicrophoneCaptureStats::logsFailure(n)) log(tag + "convertToPCMBuffer returned nil");
    return;
  }

  if (auto status = stats_.addConverted(level(*pcm), executor_.clock().uptime())) {
    // The report enumerates devices and reads their properties: keep that off this queue.
    std::weak_ptr<MicrophoneSource> weak = weak_from_this();
    executor_.runAsync([weak, status = *status] {
      if (auto self = weak.lock()) self->emitCaptureStatusDiagnostic(status.avgRMS, status.totalFrames);
    });
  }

  auto bytes = pipeline_->process(*pcm);
  if (!bytes) {
    if (MicrophoneCaptureStats::logsFailure(n)) log(tag + "pipeline.process returned nil");
    return;
  }
  if (MicrophoneCaptureStats::logsEmitting(n)) log(tag + "emitting " + std::to_string(bytes->size()) + " bytes");
  if (onAudioData_) onAudioData_(*bytes, pipeline_->outputCaptureTime(sampleBuffer.captureTimeUs, *pcm, bytes->size()));
}

std::optional<PcmBuffer> MicrophoneSource::convertToPCMBuffer(const AudioSampleBuffer& sampleBuffer) {
  using Problem = SampleBufferPcmProblem;
  auto converted = sampleBufferToPcm(sampleBuffer);
  const StreamDescription d = sampleBuffer.description.value_or(StreamDescription{});
  if (converted.monoFallback) {
    if (!std::exchange(stats_.loggedMonoFallback, true)) {
      log("WARNING: Mic delivering " + std::to_string(d.channelsPerFrame) + "ch @ " +
          formatShortestDouble(d.sampleRate) + "Hz \u2014 extracting channel 0 as mono (non-standard channel count)");
    }
  }
  switch (converted.problem) {
    case Problem::none:
    case Problem::unusable:
      break;
    case Problem::copyFailed:
      log("CMSampleBufferCopyPCMDataIntoAudioBufferList failed: " + std::to_string(kCopyPcmDataTooShort));
      break;
    case Problem::noMonoFormat:
      log("Failed to create mono AVAudioFormat for " + formatShortestDouble(d.sampleRate) + "Hz/" +
          std::to_string(d.bitsPerChannel) + "bit");
      break;
    case Problem::noData:
      log("No block buffer in sample buffer");
      break;
    case Problem::planarTooShort:
      log("Block buffer too small: " + std::to_string(sampleBuffer.data.size()) + " < " +
          std::to_string(sampleBuffer.numSamples * (d.bitsPerChannel / 8)));
      break;
    case Problem::interleavedTooShort:
      log("Block buffer too small for interleaved extraction");
      break;
  }
  return std::move(converted.buffer);
}

double MicrophoneSource::level(const PcmBuffer& buffer) { return pcmLevel(buffer); }

void MicrophoneSource::resetPipelineAsync() {
  processingQueue_->async([pipeline = pipeline_] { pipeline->reset(); });
}

bool MicrophoneSource::serverCutTheStart(const ServerConnection& before, const ServerConnection& after) {
  return !after.up || after.made != before.made;
}

void MicrophoneSource::startRunningAgain(const ServerConnection& before, std::string_view started,
                                         std::string_view failed, std::string_view cause) {
  session_->startRunning();
  if (session_->isRunning()) {
    log(started);
  } else if (serverCutTheStart(before, audio_->serverConnection())) {
    // Still capturing: the default-input listener fires when the server is back, and the
    // reconfiguration it brings starts the session again.
    log("Session start interrupted: sound server unavailable - resuming when it is back");
  } else {
    log(failed);
    withState([&] { phase_ = Phase::waiting; });
    sendEvent("MICROPHONE_STOPPED:" + std::string(cause));
  }
}

void MicrophoneSource::handleDeviceChange() {
  std::weak_ptr<MicrophoneSource> weak = weak_from_this();
  auto item = executor_.runAsyncAfter(kDeviceChangeDebounce, [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->sessionQueue_->async([weak] {
      if (auto source = weak.lock()) source->reconfigureAfterDeviceChange();
    });
  });
  TaskHandle previous;
  {
    std::lock_guard lock(deviceChangeMutex_);
    previous = std::exchange(deviceChangeWorkItem_, item);
  }
  previous.cancel();
}

void MicrophoneSource::reconfigureAfterDeviceChange() {
  const Phase was = phase();
  // A chosen device is kept whatever the default (its loss comes as a runtime error); a
  // source waiting to start tries again all the same.
  if (chosenID_ && was != Phase::waiting) return;
  log("Default device changed, reconfiguring (wasActive=" + boolText(was == Phase::capturing) + ")...");
  const auto server = audio_->serverConnection();
  if (session_->isRunning()) session_->stopRunning();
  resetPipelineAsync();
  if (was == Phase::waiting) return startWhileWaiting();
  configureSession();
  if (was == Phase::idle) return;
  startRunningAgain(server, "Session restarted after device change",
                    "\u26a0\ufe0f CRITICAL: Session failed to restart after device change - marking inactive",
                    "deviceChange");
}

void MicrophoneSource::sessionRuntimeError(const std::optional<PlatformError>& error) {
  if (!error) {
    log("Runtime error (no error in userInfo)");
    return;
  }
  log("\u26a0\ufe0f Runtime error: " + error->description);
  std::weak_ptr<MicrophoneSource> weak = weak_from_this();
  sessionQueue_->async([weak] {
    if (auto self = weak.lock()) self->recoverFromRuntimeError();
  });
}

void MicrophoneSource::recoverFromRuntimeError() {
  if (!capturing()) return;
  log("Attempting to recover from runtime error...");
  const auto server = audio_->serverConnection();
  if (session_->isRunning()) session_->stopRunning();
  resetPipelineAsync();
  configureSession();
  startRunningAgain(server, "Session restarted after runtime error",
                    "\u26a0\ufe0f CRITICAL: Session failed to restart after runtime error - marking inactive",
                    "runtimeError");
}

void MicrophoneSource::sessionWasInterrupted(const std::string& userInfo) {
  log("Session interrupted: " + (userInfo.empty() ? std::string("[:]") : userInfo));
}

void MicrophoneSource::sessionInterruptionEnded() {
  log("Session interruption ended - resuming if active");
  std::weak_ptr<MicrophoneSource> weak = weak_from_this();
  sessionQueue_->async([weak] {
    if (auto self = weak.lock()) self->resumeAfterInterruption();
  });
}

void MicrophoneSource::resumeAfterInterruption() {
  if (!capturing() || session_->isRunning()) return;
  startRunningAgain(audio_->serverConnection(), "Session resumed after interruption",
                    "\u26a0\ufe0f CRITICAL: Session failed to resume after interruption - marking inactive",
                    "interruption");
}

// --- Diagnostics ---

void MicrophoneSource::emitCaptureStatusDiagnostic(double avgRMS, int64_t totalFrames) {
  CaptureDevice selected;
  withState([&] { selected = selected_; });
  diagnostics_.emitCaptureStatus(selected, avgRMS, totalFrames);
}

void MicrophoneSource::emitCaptureProblemDiagnostic(const std::string& reason) {
  CaptureDevice selected;
  double rms = 0;
  int64_t frames = 0;
  withState([&] {
    selected = selected_;
    rms = stats_.averageLevel();
    frames = stats_.totalFrameCount;
  });
  diagnostics_.emitCaptureProblem(selected, rms, frames, reason);
}

}  // namespace qb
