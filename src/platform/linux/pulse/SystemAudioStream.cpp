#include "platform/linux/pulse/SystemAudioStream.hpp"

#include "runtime/Executor.hpp"

namespace qb {

using pulse::PulseMainLoop;
using pulse::SystemStreamAction;
using pulse::SystemStreamEvent;

namespace {

constexpr double kConnectWait = 3.0;  // a restarting server takes a moment to answer
constexpr double kStartWait = 3.0;
// A server without a default output may be about to name one: PipeWire's session manager does
// so a moment after an output appears or goes, and after the server itself starts.
constexpr double kDefaultWait = 5.0;
const char* const kErrorDomain = "SoundServerErrorDomain";

std::string describeEnd(int64_t code) {
  switch (code) {
    case StreamErrorCode::kTakenOver:
      return "Another client ended or moved the system audio recording";
    case StreamErrorCode::kDisplayUnavailable:
      return "The output device being captured is gone";
    case StreamErrorCode::kConnectionLost:
      return "The connection to the sound server was lost";
    default:
      return "The system audio recording could not be set up";
  }
}

PlatformError streamError(int64_t code, const std::string& description) {
  return PlatformError{code, kErrorDomain, description};
}

}  // namespace

std::shared_ptr<SystemAudioStream> SystemAudioStream::create(Executor& executor,
                                                             std::shared_ptr<pulse::PulseConnection> connection,
                                                             std::shared_ptr<Queue> events, const ContentFilter& filter,
                                                             const StreamConfiguration& config,
                                                             std::weak_ptr<StreamDelegate> delegate) {
  std::shared_ptr<SystemAudioStream> s(
      new SystemAudioStream(executor, std::move(connection), std::move(events), filter, config, std::move(delegate)));
  PulseMainLoop::Lock lock(s->connection_->loop());
  s->registration_ = s->connection_->addObserver(s.get());
  return s;
}

SystemAudioStream::SystemAudioStream(Executor& executor, std::shared_ptr<pulse::PulseConnection> connection,
                                     std::shared_ptr<Queue> events, const ContentFilter& filter,
                                     const StreamConfiguration& config, std::weak_ptr<StreamDelegate> delegate)
    : executor_(executor),
      connection_(std::move(connection)),
      events_(std::move(events)),
      config_(config),
      filter_(filter),
      delegate_(std::move(delegate)) {
  // The audio side has one format whatever was asked: the logic reads it back.
  config_.sampleRate = static_cast<int>(kSampleRate);
  config_.channelCount = static_cast<int>(kChannels);
}

SystemAudioStream::~SystemAudioStream() {
  registration_.reset();
  PulseMainLoop::Lock lock(connection_->loop());
  record_.reset();
}

// ---- Outputs ---------------------------------------------------------------------------

std::optional<PlatformError> SystemAudioStream::addStreamOutput(std::weak_ptr<StreamOutput> output,
                                                                StreamOutputType type, std::shared_ptr<Queue> queue) {
  if (type == StreamOutputType::screen)
    return streamError(StreamErrorCode::kFailed,
                       "This stream carries system audio only: pictures come from a stream without capturesAudio");
  if (!queue) return streamError(StreamErrorCode::kFailed, "An audio output needs a queue");
  PulseMainLoop::Lock lock(connection_->loop());
  audioOutput_ = std::move(output);
  audioQueue_ = std::move(queue);
  ++outputToken_;
  return std::nullopt;
}

std::optional<PlatformError> SystemAudioStream::removeStreamOutput(StreamOutputType type) {
  PulseMainLoop::Lock lock(connection_->loop());
  if (type == StreamOutputType::screen || !audioQueue_)
    return streamError(StreamErrorCode::kFailed, "No such output on this stream");
  audioOutput_.reset();
  audioQueue_.reset();
  ++outputToken_;
  return std::nullopt;
}

// ---- Start and stop --------------------------------------------------------------------

void SystemAudioStream::startCapture(ErrorCompletion done) {
  executor_.runAsync([self = shared_from_this(), done = std::move(done)] { done(self->startBlocking()); });
}

std::optional<PlatformError> SystemAudioStream::startBlocking() {
  PulseMainLoop::Lock lock(connection_->loop());
  if (phase_ == Phase::running) return std::nullopt;
  if (phase_ != Phase::idle) return streamError(StreamErrorCode::kFailed, "The stream cannot be started again");
  if (!config_.capturesAudio) {
    phase_ = Phase::running;  // nothing to record
    return std::nullopt;
  }
  phase_ = Phase::starting;
  startError_.reset();
  followAttempts_ = 0;
  if (!connection_->waitReady(kConnectWait)) {
    phase_ = Phase::idle;
    return streamError(StreamErrorCode::kConnectionLost, "The sound server is not reachable");
  }
  followDefault();
  connection_->loop().waitUntil([&] { return phase_ != Phase::starting || verified_ || !connection_->isReady(); },
                                kStartWait);
  if (phase_ == Phase::stopped) return std::nullopt;  // stopCapture won the race; the caller checks its state
  if (phase_ == Phase::starting && verified_) {
    phase_ = Phase::running;
    return std::nullopt;
  }
  PlatformError error =
      startError_        ? *startError_
      : awaitingDefault_ ? streamError(StreamErrorCode::kDisplayUnavailable, "There is no output device to capture")
      : !connection_->isReady()
          ? streamError(StreamErrorCode::kConnectionLost, describeEnd(StreamErrorCode::kConnectionLost))
          : streamError(StreamErrorCode::kFailed, "The system audio recording did not start in time");
  phase_ = Phase::idle;
  awaitingServer_ = false;
  awaitingDefault_ = false;
  ++token_;
  record_.reset();
  verified_ = false;
  return error;
}

void SystemAudioStream::stopCapture(ErrorCompletion done) {
  {
    PulseMainLoop::Lock lock(connection_->loop());
    if (record_ && phase_ == Phase::running) record_->flush();  // the last few milliseconds
    if (phase_ != Phase::ended) phase_ = Phase::stopped;
    awaitingServer_ = false;
    awaitingDefault_ = false;
    ++token_;
    record_.reset();
    verified_ = false;
    connection_->loop().signal();
  }
  executor_.runAsync([done = std::move(done)] { done(std::nullopt); });
}

void SystemAudioStream::updateContentFilter(const ContentFilter& filter, ErrorCompletion done) {
  {
    PulseMainLoop::Lock lock(connection_->loop());
    filter_ = filter;  // the output mix does not depend on what is on screen
  }
  executor_.runAsync([done = std::move(done)] { done(std::nullopt); });
}

uint32_t SystemAudioStream::grantedFragmentBytes() const {
  PulseMainLoop::Lock lock(const_cast<SystemAudioStream*>(this)->connection_->loop());
  return record_ ? record_->grantedFragmentBytes() : 0;
}

std::string SystemAudioStream::recordingSource() const {
  PulseMainLoop::Lock lock(const_cast<SystemAudioStream*>(this)->connection_->loop());
  return record_ && verified_ ? record_->deviceName() : std::string();
}

// ---- Following the default output ------------------------------------------------------

void SystemAudioStream::followDefault() {
  pa_context* c = connection_->context();
  if (!c) return;  // the stream waits for the server
  const uint64_t token = ++token_;
  std::weak_ptr<SystemAudioStream> weak = weak_from_this();
  pulse::fetchServerInfo(c, [weak, token](std::optional<pulse::ServerInfo> info) {
    auto self = weak.lock();
    if (!self || token != self->token_ || !self->active()) return;
    pa_context* c = self->connection_->context();
    if (!c) return;
    if (!info || info->defaultSinkName.empty()) {
      self->awaitDefault();
      return;
    }
    pulse::fetchSink(c, info->defaultSinkName, [weak, token](std::optional<pulse::SinkInfo> sink) {
      auto self = weak.lock();
      if (!self || token != self->token_ || !self->active()) return;
      if (sink && !sink->monitorSourceName.empty())
        self->openOn(*sink);
      else
        self->awaitDefault();  // the default went away in between
    });
  });
}

// Records nothing until the server names a default output (a server event), and ends the
// stream if it names none in time.
void SystemAudioStream::awaitDefault() {
  if (awaitingDefault_) return;
  awaitingDefault_ = true;
  connection_->log("SoundServer: system audio waits for the sound server to name a default output");
  executor_.runAsyncAfter(kDefaultWait, [weak = weak_from_this(), token = token_] {
    auto self = weak.lock();
    if (!self) return;
    PulseMainLoop::Lock lock(self->connection_->loop());
    if (!self->awaitingDefault_ || token != self->token_ || !self->active()) return;
    self->end(StreamErrorCode::kDisplayUnavailable, "There is no output device to capture");
  });
}

void SystemAudioStream::openOn(const pulse::SinkInfo& sink) {
  ++token_;  // checks of an earlier recording no longer apply
  awaitingDefault_ = false;
  record_.reset();
  verified_ = false;
  capturedSink_ = sink.name;
  pulse::RecordSpec spec;
  spec.source = sink.monitorSourceName;
  spec.kind = pulse::SampleKind::float32le;
  spec.rate = kSampleRate;
  spec.channels = kChannels;
  spec.mediaName = "Quellbrook system audio";
  // Never rescued onto another source by the server, never moved by other clients: the
  // stream ends instead and we decide where to go.
  spec.dontMove = true;

  pulse::PulseRecordStream::Callbacks cb;
  cb.ready = [this] { onReady(); };
  cb.moved = [this] { onMoved(); };
  cb.failed = [this](const std::string&) {
    const bool wasVerified = verified_;
    record_.reset();  // from its own callback: nothing touches it after this
    verified_ = false;
    if (!connection_->isReady()) return;  // connectionLost decides
    evaluate(wasVerified ? SystemStreamEvent::failed : SystemStreamEvent::connectFailed);
  };
  cb.data = [this](std::vector<uint8_t> bytes, size_t frames, int64_t captureTimeUs) {
    onData(std::move(bytes), frames, captureTimeUs);
  };
  std::string error;
  record_ = pulse::PulseRecordStream::open(connection_->context(), spec, std::move(cb), &error);
  if (!record_) {
    connection_->log("SoundServer: cannot record " + spec.source + ": " + error);
    evaluate(SystemStreamEvent::connectFailed);
    return;
  }
  record_->setDelivering(false);  // until it is known to record a monitor
}

void SystemAudioStream::onReady() { onMoved(); }

void SystemAudioStream::onMoved() {
  // Whatever the stream records now, nothing is handed over until it is known to be the
  // monitor of an output.
  verified_ = false;
  record_->setDelivering(false);
  pa_context* c = connection_->context();
  if (!c) return;
  const uint64_t token = token_;
  std::weak_ptr<SystemAudioStream> weak = weak_from_this();
  pulse::fetchSource(c, record_->deviceIndex(), [weak, token](std::optional<pulse::SourceInfo> info) {
    auto self = weak.lock();
    if (!self || token != self->token_ || !self->record_ || !self->active()) return;
    if (info && info->isMonitor) {
      self->verified_ = true;
      self->capturedSink_ = info->monitorOfSinkName;
      self->followAttempts_ = 0;
      self->record_->setDelivering(true);
      self->connection_->loop().signal();
    } else {
      self->connection_->log("SoundServer: system audio stream was moved to " +
                             (info ? info->name : std::string("an unknown source")) + ", which is not an output");
      self->evaluate(SystemStreamEvent::movedToNonMonitor);
    }
  });
}

void SystemAudioStream::onData(std::vector<uint8_t> bytes, size_t frames, int64_t captureTimeUs) {
  if (!verified_ || !active() || !audioQueue_ || !record_) return;
  AudioSampleBuffer buffer;
  buffer.description = record_->description();
  buffer.numSamples = frames;
  buffer.data = std::move(bytes);
  buffer.captureTimeUs = captureTimeUs;
  audioQueue_->async(
      [weak = weak_from_this(), output = audioOutput_, token = outputToken_.load(), buffer = std::move(buffer)] {
        auto self = weak.lock();
        if (!self || token != self->outputToken_) return;  // the output was removed or replaced meanwhile
        if (auto out = output.lock()) out->streamDidOutputAudio(*self, buffer);
      });
}

// ---- Decisions -------------------------------------------------------------------------

void SystemAudioStream::connectionLost() {
  ++token_;         // answers still pending concern the old server
  record_.reset();  // dead with its context
  verified_ = false;
  awaitingDefault_ = false;
  if (active()) act(SystemStreamEvent::connectionLost, pulse::SystemStreamFacts{false});
  connection_->loop().signal();  // a start waiting for its recording fails now
}

void SystemAudioStream::connectionReady(pa_context*, bool) {
  if (!awaitingServer_) return;
  awaitingServer_ = false;
  if (!active()) return;  // stopped meanwhile: nothing to record again
  followAttempts_ = 0;
  act(SystemStreamEvent::connectionBack, pulse::SystemStreamFacts{});
}

void SystemAudioStream::serverEvent(pa_subscription_event_type_t type, uint32_t) {
  if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SERVER) return;
  if (awaitingDefault_ && active()) {
    awaitingDefault_ = false;
    followDefault();
  } else if (phase_ == Phase::running) {
    evaluate(SystemStreamEvent::defaultSinkChanged);
  }
}

void SystemAudioStream::evaluate(SystemStreamEvent event) {
  pa_context* c = connection_->context();
  if (!c) return;  // the stream waits for the server
  // A default change is judged against whatever is recorded when the answer comes, so
  // it is never dropped; any other event concerns one recording and is dropped once that
  // recording has been replaced.
  const bool followsRecording = event != SystemStreamEvent::defaultSinkChanged;
  const uint64_t token = token_;
  const uint64_t generation = connection_->generation();
  std::weak_ptr<SystemAudioStream> weak = weak_from_this();
  auto stale = [followsRecording, token, generation](SystemAudioStream& s) {
    return !s.active() || s.connection_->generation() != generation || (followsRecording && token != s.token_);
  };
  pulse::fetchServerInfo(c, [weak, event, stale](std::optional<pulse::ServerInfo> info) {
    auto self = weak.lock();
    if (!self || stale(*self)) return;
    pa_context* c = self->connection_->context();
    if (!c) return;
    const std::string defaultSink = info ? info->defaultSinkName : std::string();
    auto decide = [weak, event, stale, defaultSink](bool capturedExists) {
      auto self = weak.lock();
      if (!self || stale(*self)) return;
      pulse::SystemStreamFacts facts;
      facts.contextUp = self->connection_->isReady();
      facts.capturedSinkExists = capturedExists;
      facts.defaultSinkExists = !defaultSink.empty();
      facts.defaultIsCaptured = defaultSink == self->capturedSink_;
      facts.followAttempts = self->followAttempts_;
      self->act(event, facts);
    };
    if (self->capturedSink_.empty()) {
      decide(false);
    } else {
      pulse::fetchSink(c, self->capturedSink_,
                       [decide](std::optional<pulse::SinkInfo> sink) { decide(sink.has_value()); });
    }
  });
}

void SystemAudioStream::act(SystemStreamEvent event, const pulse::SystemStreamFacts& facts) {
  const pulse::SystemStreamDecision d = pulse::decideSystemStream(event, facts);
  switch (d.action) {
    case SystemStreamAction::keep:
      return;
    case SystemStreamAction::follow:
      if (event != SystemStreamEvent::defaultSinkChanged) ++followAttempts_;
      connection_->log("SoundServer: system audio follows the default output");
      followDefault();
      return;
    case SystemStreamAction::stop:
      end(d.code, describeEnd(d.code));
      return;
    case SystemStreamAction::await:
      if (!awaitingServer_) connection_->log("SoundServer: system audio waits for the sound server to come back");
      awaitingServer_ = true;
      return;
  }
}

void SystemAudioStream::end(int64_t code, const std::string& description) {
  ++token_;
  record_.reset();
  verified_ = false;
  awaitingDefault_ = false;
  const PlatformError error = streamError(code, description);
  if (phase_ == Phase::starting) {
    startError_ = error;
    phase_ = Phase::idle;
    connection_->loop().signal();
    return;
  }
  if (phase_ != Phase::running) return;
  phase_ = Phase::ended;
  connection_->log("SoundServer: system audio stream ended: " + description);
  events_->async([weak = weak_from_this(), delegate = delegate_, error] {
    auto self = weak.lock();
    auto d = delegate.lock();
    if (self && d) d->streamDidStop(*self, error);
  });
}

}  // namespace qb
