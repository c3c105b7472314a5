#include "monitoring/MicSampleQueue.hpp"

namespace qb {

std::shared_ptr<MicSampleQueue> MicSampleQueue::make(Executor& executor, std::shared_ptr<AudioDeviceService> audio,
                                                     int sampleDurationMs, int maxConcurrent, Deliver deliver) {
  return std::make_shared<MicSampleQueue>(Token{}, executor, std::move(audio), sampleDurationMs, maxConcurrent,
                                          std::move(deliver));
}

MicSampleQueue::MicSampleQueue(Token, Executor& executor, std::shared_ptr<AudioDeviceService> audio,
                               int sampleDurationMs, int maxConcurrent, Deliver deliver)
    : executor_(executor),
      audio_(std::move(audio)),
      sampleDurationMs_(sampleDurationMs),
      maxConcurrent_(maxConcurrent),
      deliver_(std::move(deliver)) {}

void MicSampleQueue::request(std::string reason, std::optional<std::string> selectedDeviceId) {
  std::unique_lock lock(mutex_);
  if (cancelled_) return;
  Request request{std::move(reason), std::move(selectedDeviceId)};
  if (running_) {
    waiting_.push_back(std::move(request));
    return;
  }
  startLocked({std::move(request)}, lock);
}

void MicSampleQueue::startLocked(std::vector<Request> batch, std::unique_lock<std::mutex>& lock) {
  auto sampler = MicSampler::make(executor_, audio_, sampleDurationMs_, maxConcurrent_);
  running_ = sampler;
  const Request first = batch.front();
  lock.unlock();
  sampler->sampleRunningMics(first.reason, first.selectedDeviceId,
                             [self = shared_from_this(), batch = std::move(batch)](RunningMicsSampleDiagnostic report) {
                               self->finished(batch, std::move(report));
                             });
}

void MicSampleQueue::finished(std::vector<Request> batch, RunningMicsSampleDiagnostic report) {
  {
    std::lock_guard lock(mutex_);
    if (cancelled_) return;
  }
  for (auto& request : batch) {
    report.reason = request.reason;
    report.selectedDeviceId = request.selectedDeviceId;
    deliver_(report);
  }
  std::unique_lock lock(mutex_);
  running_.reset();
  if (!cancelled_ && !waiting_.empty()) startLocked(std::exchange(waiting_, {}), lock);
}

void MicSampleQueue::cancel() {
  std::shared_ptr<MicSampler> running;
  {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    waiting_.clear();
    running = std::move(running_);
  }
  if (running) running->cancel();
}

}  // namespace qb
