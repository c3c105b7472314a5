#include "platform/sim/SimCaptureSession.hpp"

#include <algorithm>
#include <utility>

#include "platform/sim/SimAudioDeviceService.hpp"

namespace qb {

SimCaptureSession::SimCaptureSession(std::weak_ptr<SimAudioDeviceService> service) : service_(std::move(service)) {}

SimCaptureSession::~SimCaptureSession() {
  // A session released while running stops being a client of its device.
  if (running_ && !recordingUid_.empty())
    if (auto svc = service_.lock()) svc->sessionStoppedRecording(recordingUid_);
}

void SimCaptureSession::beginConfiguration() {
  std::lock_guard lock(mutex_);
  ++configDepth_;
}

void SimCaptureSession::commitConfiguration() {
  {
    std::lock_guard lock(mutex_);
    if (configDepth_ > 0) --configDepth_;
    ++configurations_;
  }
  retarget();
}

std::vector<std::shared_ptr<CaptureInput>> SimCaptureSession::inputs() const {
  std::lock_guard lock(mutex_);
  return inputs_;
}

void SimCaptureSession::removeInput(const std::shared_ptr<CaptureInput>& input) {
  {
    std::lock_guard lock(mutex_);
    std::erase(inputs_, input);
  }
  retarget();
}

bool SimCaptureSession::canAddInput(const CaptureInput& input) const {
  auto svc = service_.lock();
  if (!svc || !svc->canAddInput()) return false;
  std::lock_guard lock(mutex_);
  return std::none_of(inputs_.begin(), inputs_.end(),
                      [&](auto& i) { return i->device().uniqueID == input.device().uniqueID; });
}

void SimCaptureSession::addInput(std::shared_ptr<CaptureInput> input) {
  if (!input) return;
  {
    std::lock_guard lock(mutex_);
    inputs_.push_back(std::move(input));
  }
  retarget();
}

bool SimCaptureSession::hasAudioDataOutput() const {
  std::lock_guard lock(mutex_);
  return handler_ != nullptr;
}

bool SimCaptureSession::canAddAudioDataOutput() const {
  auto svc = service_.lock();
  if (!svc || !svc->canAddAudioDataOutput()) return false;
  std::lock_guard lock(mutex_);
  return handler_ == nullptr;
}

void SimCaptureSession::addAudioDataOutput(std::shared_ptr<Queue> queue, SampleBufferHandler handler) {
  std::lock_guard lock(mutex_);
  outputQueue_ = std::move(queue);
  handler_ = std::make_shared<SampleBufferHandler>(std::move(handler));
}

void SimCaptureSession::startRunning() {
  auto svc = service_.lock();
  if (!svc) return;
  std::string uid;
  {
    std::lock_guard lock(mutex_);
    if (running_) return;
    if (!inputs_.empty()) uid = inputs_.front()->device().uniqueID;
  }
  // A real start takes a while, during which other work goes on.
  if (double delay = svc->sessionStartDelay(); delay > 0) svc->executor().sleep(delay);
  bool started = false;
  if (svc->sessionMayStart(uid)) {
    std::lock_guard lock(mutex_);
    if (!running_) {
      running_ = true;
      interrupted_ = false;
      resumeAfterInterruption_ = false;
      recordingUid_ = uid;
      ++runGeneration_;
      started = true;
    }
  }
  svc->countSessionStart(started);
  if (started && !uid.empty()) svc->sessionStartedRecording(uid);
}

void SimCaptureSession::stopRunning() {
  std::optional<std::string> uid;
  {
    std::lock_guard lock(mutex_);
    resumeAfterInterruption_ = false;
    uid = haltLocked();
  }
  if (!uid) return;
  if (auto svc = service_.lock()) {
    svc->countSessionStop();
    if (!uid->empty()) svc->sessionStoppedRecording(*uid);
  }
}

bool SimCaptureSession::isRunning() const {
  std::lock_guard lock(mutex_);
  return running_;
}

void SimCaptureSession::setObserver(std::weak_ptr<CaptureSessionObserver> observer) {
  std::lock_guard lock(mutex_);
  observer_ = std::move(observer);
}

std::optional<std::string> SimCaptureSession::recordingDevice() const {
  std::lock_guard lock(mutex_);
  if ((!running_ && !interrupted_) || recordingUid_.empty()) return std::nullopt;
  return recordingUid_;
}

bool SimCaptureSession::isInterrupted() const {
  std::lock_guard lock(mutex_);
  return interrupted_;
}

int SimCaptureSession::configurationCount() const {
  std::lock_guard lock(mutex_);
  return configurations_;
}

void SimCaptureSession::deliver(const AudioSampleBuffer& buffer) {
  std::shared_ptr<Queue> queue;
  std::shared_ptr<SampleBufferHandler> handler;
  uint64_t generation;
  {
    std::lock_guard lock(mutex_);
    if (!running_ || !outputQueue_ || !handler_) return;
    queue = outputQueue_;
    handler = handler_;
    generation = runGeneration_;
  }
  std::weak_ptr<SimCaptureSession> weak = weak_from_this();
  queue->async([weak, handler, generation, buffer] {
    auto self = weak.lock();
    if (!self) return;
    {
      // Buffers still queued when the session stopped are dropped, as a stopped
      // output delivers nothing more.
      std::lock_guard lock(self->mutex_);
      if (!self->running_ || self->runGeneration_ != generation) return;
    }
    if (auto svc = self->service_.lock()) svc->countBufferDelivered();
    (*handler)(buffer);
  });
}

void SimCaptureSession::runtimeError(const std::optional<PlatformError>& error, bool stops) {
  std::optional<std::string> uid;
  if (stops) {
    std::lock_guard lock(mutex_);
    uid = haltLocked();
  }
  if (uid && !uid->empty())
    if (auto svc = service_.lock()) svc->sessionStoppedRecording(*uid);
  notifyObserver([error](CaptureSessionObserver& o) { o.sessionRuntimeError(error); });
}

void SimCaptureSession::interrupted(const std::string& userInfo) {
  std::optional<std::string> uid;
  {
    std::lock_guard lock(mutex_);
    uid = haltLocked();
    if (!uid) return;
    interrupted_ = true;
    resumeAfterInterruption_ = true;
  }
  if (!uid->empty())
    if (auto svc = service_.lock()) svc->sessionStoppedRecording(*uid);
  notifyObserver([userInfo](CaptureSessionObserver& o) { o.sessionWasInterrupted(userInfo); });
}

void SimCaptureSession::interruptionEnded(bool resume) {
  auto svc = service_.lock();
  if (!svc) return;
  std::string uid;
  bool resumeWanted;
  {
    std::lock_guard lock(mutex_);
    if (!interrupted_) return;
    uid = recordingUid_;
    resumeWanted = resume && resumeAfterInterruption_;
  }
  const bool mayRun = resumeWanted && svc->sessionMayStart(uid);
  bool resumed = false;
  {
    std::lock_guard lock(mutex_);
    if (!interrupted_) return;
    interrupted_ = false;
    resumeAfterInterruption_ = false;
    if (mayRun && !running_) {
      running_ = true;
      ++runGeneration_;
      resumed = true;
    }
  }
  if (resumed && !uid.empty()) svc->sessionStartedRecording(uid);
  notifyObserver([](CaptureSessionObserver& o) { o.sessionInterruptionEnded(); });
}

std::optional<std::string> SimCaptureSession::haltLocked() {
  if (!running_) return std::nullopt;
  running_ = false;
  ++runGeneration_;
  return recordingUid_;
}

void SimCaptureSession::retarget() {
  std::string oldUid, newUid;
  {
    std::lock_guard lock(mutex_);
    if (!running_ || configDepth_ > 0) return;
    newUid = inputs_.empty() ? std::string() : inputs_.front()->device().uniqueID;
    if (newUid == recordingUid_) return;
    oldUid = std::exchange(recordingUid_, newUid);
    ++runGeneration_;
  }
  auto svc = service_.lock();
  if (!svc) return;
  if (!oldUid.empty()) svc->sessionStoppedRecording(oldUid);
  if (!newUid.empty()) svc->sessionStartedRecording(newUid);
}

void SimCaptureSession::notifyObserver(std::function<void(CaptureSessionObserver&)> call) {
  auto svc = service_.lock();
  if (!svc) return;
  std::weak_ptr<CaptureSessionObserver> observer;
  {
    std::lock_guard lock(mutex_);
    observer = observer_;
  }
  svc->notifyQueue()->async([observer, call] {
    if (auto o = observer.lock()) call(*o);
  });
}

}  // namespace qb
