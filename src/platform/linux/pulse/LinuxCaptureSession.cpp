#include "platform/linux/pulse/LinuxCaptureSession.hpp"

#include <algorithm>

#include "platform/linux/pulse/PulseDecisions.hpp"
#include "runtime/Executor.hpp"

namespace qb {

using pulse::PulseMainLoop;

namespace {
constexpr double kConnectWait = 2.0;  // for a server that is just coming back
constexpr double kStartWait = 3.0;    // until the record stream is ready
const char* const kErrorDomain = "SoundServerErrorDomain";
constexpr int64_t kSessionFailed = -1;
}  // namespace

std::shared_ptr<LinuxCaptureSession> LinuxCaptureSession::create(std::shared_ptr<pulse::PulseConnection> connection,
                                                                 std::shared_ptr<Queue> events) {
  std::shared_ptr<LinuxCaptureSession> s(new LinuxCaptureSession(std::move(connection), std::move(events)));
  PulseMainLoop::Lock lock(s->connection_->loop());
  s->registration_ = s->connection_->addObserver(s.get());
  return s;
}

LinuxCaptureSession::LinuxCaptureSession(std::shared_ptr<pulse::PulseConnection> connection,
                                         std::shared_ptr<Queue> events)
    : connection_(std::move(connection)), events_(std::move(events)) {}

LinuxCaptureSession::~LinuxCaptureSession() {
  registration_.reset();
  PulseMainLoop::Lock lock(connection_->loop());
  record_.reset();
}

// ---- Configuration ---------------------------------------------------------------------

std::vector<std::shared_ptr<CaptureInput>> LinuxCaptureSession::inputs() const {
  PulseMainLoop::Lock lock(connection_->loop());
  return inputs_;
}

void LinuxCaptureSession::removeInput(const std::shared_ptr<CaptureInput>& input) {
  PulseMainLoop::Lock lock(connection_->loop());
  inputs_.erase(std::remove(inputs_.begin(), inputs_.end(), input), inputs_.end());
}

bool LinuxCaptureSession::canAddInput(const CaptureInput& input) const {
  PulseMainLoop::Lock lock(connection_->loop());
  // One source per session, and only inputs made by this backend.
  return inputs_.empty() && dynamic_cast<const LinuxCaptureInput*>(&input) != nullptr;
}

void LinuxCaptureSession::addInput(std::shared_ptr<CaptureInput> input) {
  if (!input || !canAddInput(*input)) return;
  PulseMainLoop::Lock lock(connection_->loop());
  inputs_.push_back(std::move(input));
}

bool LinuxCaptureSession::hasAudioDataOutput() const {
  PulseMainLoop::Lock lock(connection_->loop());
  return handler_ != nullptr;
}

bool LinuxCaptureSession::canAddAudioDataOutput() const { return !hasAudioDataOutput(); }

void LinuxCaptureSession::addAudioDataOutput(std::shared_ptr<Queue> queue, SampleBufferHandler handler) {
  PulseMainLoop::Lock lock(connection_->loop());
  if (handler_ || !queue || !handler) return;
  outputQueue_ = std::move(queue);
  handler_ = std::make_shared<SampleBufferHandler>(std::move(handler));
}

void LinuxCaptureSession::setObserver(std::weak_ptr<CaptureSessionObserver> observer) {
  PulseMainLoop::Lock lock(connection_->loop());
  observer_ = std::move(observer);
}

std::optional<std::string> LinuxCaptureSession::configuredSource() const {
  if (inputs_.empty()) return std::nullopt;
  return inputs_.front()->device().uniqueID;
}

void LinuxCaptureSession::commitConfiguration() {
  PulseMainLoop::Lock lock(connection_->loop());
  if (!wantRunning_ || interrupted_) return;
  auto source = configuredSource();
  if (!source || !handler_) {
    // Nothing left to record: a running session without an input stops delivering.
    record_.reset();
    recordSource_.clear();
    return;
  }
  if (*source != recordSource_) reopenAsync(*source);
}

// ---- Running ---------------------------------------------------------------------------

void LinuxCaptureSession::startRunning() {
  PulseMainLoop::Lock lock(connection_->loop());
  auto& loop = connection_->loop();
  auto source = configuredSource();
  if (!source || !handler_) return;
  if (wantRunning_ && record_ && record_->isReady() && recordSource_ == *source) return;
  wantRunning_ = true;
  interrupted_ = false;
  starting_ = true;
  ++openToken_;
  record_.reset();
  std::optional<std::optional<pulse::SourceInfo>> info;
  if (connection_->waitReady(kConnectWait)) info = pulse::readSource(*connection_, *source);
  if (info && *info && !(*info)->isMonitor) {
    openOn(**info);
    loop.waitUntil([&] { return !record_ || record_->isReady() || record_->hasEnded() || !connection_->isReady(); },
                   kStartWait);
  }
  starting_ = false;
  if (!record_ || !record_->isReady()) {
    // The caller sees isRunning() false and handles it; no notification for this.
    record_.reset();
    wantRunning_ = false;
  }
}

void LinuxCaptureSession::stopRunning() {
  PulseMainLoop::Lock lock(connection_->loop());
  if (record_) record_->flush();  // the last few milliseconds before the stop
  wantRunning_ = false;
  interrupted_ = false;
  ++openToken_;
  record_.reset();
  recordSource_.clear();
}

bool LinuxCaptureSession::isRunning() const {
  PulseMainLoop::Lock lock(connection_->loop());
  return wantRunning_ && record_ && record_->isReady();
}

uint32_t LinuxCaptureSession::grantedFragmentBytes() const {
  PulseMainLoop::Lock lock(connection_->loop());
  return record_ ? record_->grantedFragmentBytes() : 0;
}

std::string LinuxCaptureSession::recordingSource() const {
  PulseMainLoop::Lock lock(connection_->loop());
  return record_ ? record_->deviceName() : std::string();
}

void LinuxCaptureSession::openOn(const pulse::SourceInfo& source) {
  record_.reset();
  recordSource_ = source.name;
  pulse::RecordSpec spec;
  spec.source = source.name;
  spec.kind = source.kind;
  spec.rate = source.rate;
  spec.channels = source.channels;
  spec.channelMap = source.channelMap;
  spec.mediaName = "Quellbrook microphone";
  // The session records the device it was given: if that device goes, the stream ends
  // (a runtime error) instead of being moved to whatever the server picks.
  spec.dontMove = true;

  pulse::PulseRecordStream::Callbacks cb;
  cb.ready = [this] {
    if (interrupted_) {
      interrupted_ = false;
      post([](CaptureSessionObserver& o) { o.sessionInterruptionEnded(); });
    }
    connection_->loop().signal();
  };
  cb.failed = [this](const std::string& reason) { onStreamFailed(reason); };
  cb.data = [this](std::vector<uint8_t> bytes, size_t frames, int64_t captureTimeUs) {
    if (!handler_ || !outputQueue_ || !record_) return;
    AudioSampleBuffer buffer;
    buffer.description = record_->description();
    buffer.numSamples = frames;
    buffer.data = std::move(bytes);
    buffer.captureTimeUs = captureTimeUs;
    outputQueue_->async([handler = handler_, buffer = std::move(buffer)] { (*handler)(buffer); });
  };
  std::string error;
  record_ = pulse::PulseRecordStream::open(connection_->context(), spec, std::move(cb), &error);
  if (!record_) onStreamFailed(error);
}

void LinuxCaptureSession::reopenAsync(const std::string& source) {
  record_.reset();
  recordSource_ = source;
  pa_context* c = connection_->context();
  if (!c) return;  // the next ready connection resumes it
  const uint64_t token = ++openToken_;
  std::weak_ptr<LinuxCaptureSession> weak = weak_from_this();
  pulse::fetchSource(c, source, [weak, token](std::optional<pulse::SourceInfo> info) {
    auto self = weak.lock();
    if (!self || token != self->openToken_ || !self->wantRunning_) return;
    const bool exists = info && !info->isMonitor;
    pulse::SessionFacts facts{self->wantRunning_, self->interrupted_, self->connection_->isReady(), exists};
    const auto action = pulse::decideSession(pulse::SessionEvent::contextBack, facts);
    if (exists && action != pulse::SessionAction::reportRuntimeError)
      self->openOn(*info);
    else
      self->reportRuntimeError("The capture device " + self->recordSource_ + " is gone");
  });
}

void LinuxCaptureSession::onStreamFailed(const std::string& reason) {
  pulse::SessionFacts facts{wantRunning_, interrupted_, connection_->isReady(), true};
  // Called from the stream's own callback: it may be freed here, nothing touches it after.
  record_.reset();
  if (starting_) {
    connection_->loop().signal();
    return;
  }
  if (pulse::decideSession(pulse::SessionEvent::streamFailed, facts) == pulse::SessionAction::reportRuntimeError)
    reportRuntimeError("The recording stream of " + recordSource_ + " failed: " + reason);
}

void LinuxCaptureSession::reportRuntimeError(const std::string& description) {
  record_.reset();
  wantRunning_ = false;
  interrupted_ = false;
  ++openToken_;
  PlatformError error{kSessionFailed, kErrorDomain, description};
  connection_->log("SoundServer: capture session stopped: " + description);
  post([error](CaptureSessionObserver& o) { o.sessionRuntimeError(error); });
}

void LinuxCaptureSession::post(std::function<void(CaptureSessionObserver&)> notify) {
  events_->async([weak = observer_, notify = std::move(notify)] {
    if (auto o = weak.lock()) notify(*o);
  });
}

// ---- Connection ------------------------------------------------------------------------

void LinuxCaptureSession::connectionLost() {
  pulse::SessionFacts facts{wantRunning_, interrupted_, false, true};
  record_.reset();  // dead with its context
  if (pulse::decideSession(pulse::SessionEvent::contextLost, facts) == pulse::SessionAction::reportInterrupted) {
    interrupted_ = true;
    post([](CaptureSessionObserver& o) { o.sessionWasInterrupted("{reason = sound server connection lost}"); });
  }
}

void LinuxCaptureSession::connectionReady(pa_context*, bool) {
  if (!interrupted_ || !wantRunning_) return;
  // Record the same source again once it is known to exist; its stream's ready callback
  // ends the interruption.
  reopenAsync(recordSource_);
}

}  // namespace qb
