#include "platform/linux/encode/ThreadedVideoEncoder.hpp"

namespace qb::encode {

void ThreadedVideoEncoder::startThread() {
  worker_ = std::thread([this] { run(); });
}

void ThreadedVideoEncoder::stopThread() {
  invalidate();
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (!worker_.joinable()) return;
  if (worker_.get_id() == std::this_thread::get_id())
    worker_.detach();  // destroyed from its own output: a contract breach; do not deadlock
  else
    worker_.join();
}

void ThreadedVideoEncoder::encode(const VideoFrame& frame, bool forceKeyframe, Output output) {
  {
    std::lock_guard lock(mutex_);
    if (invalidated_) return;
    jobs_.push_back(Job{frame, forceKeyframe, std::move(output), {}});
  }
  wake_.notify_one();
}

void ThreadedVideoEncoder::completeFrames() {
  std::promise<void> done;
  auto finished = done.get_future();
  {
    std::lock_guard lock(mutex_);
    if (invalidated_) return;
    Job job;
    job.completed = std::move(done);
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
  finished.wait();
}

void ThreadedVideoEncoder::invalidate() {
  std::deque<Job> dropped;
  {
    std::lock_guard lock(mutex_);
    invalidated_ = true;
    dropped.swap(jobs_);
  }
  // Outside the lock: dropping frames returns them to their pool, and a waiting
  // completeFrames is released.
  for (auto& job : dropped)
    if (job.completed) job.completed->set_value();
}

bool ThreadedVideoEncoder::invalidated() {
  std::lock_guard lock(mutex_);
  return invalidated_;
}

void ThreadedVideoEncoder::deliver(const Output& output, std::optional<PlatformError> error,
                                   const EncodedFrame* frame) {
  if (!output || invalidated()) return;
  output(std::move(error), frame);
}

void ThreadedVideoEncoder::track(int64_t pts, double presentationTime, Output output) {
  inFlight_.push_back({pts, presentationTime, std::move(output)});
}

void ThreadedVideoEncoder::failLast(const PlatformError& error) {
  if (inFlight_.empty()) return;
  auto failed = std::move(inFlight_.back());
  inFlight_.pop_back();
  deliver(failed.output, error);
}

std::optional<ThreadedVideoEncoder::InFlight> ThreadedVideoEncoder::finished(int64_t pts,
                                                                             const PlatformError& dropped) {
  while (!inFlight_.empty() && inFlight_.front().pts < pts) {
    auto lost = std::move(inFlight_.front());
    inFlight_.pop_front();
    deliver(lost.output, dropped);
  }
  if (inFlight_.empty() || inFlight_.front().pts != pts) return std::nullopt;
  auto entry = std::move(inFlight_.front());
  inFlight_.pop_front();
  return entry;
}

void ThreadedVideoEncoder::failInFlight(const PlatformError& error) {
  while (!inFlight_.empty()) {
    auto lost = std::move(inFlight_.front());
    inFlight_.pop_front();
    deliver(lost.output, error);
  }
}

void ThreadedVideoEncoder::run() {
  for (;;) {
    Job job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    if (job.completed) {
      drain();
      job.completed->set_value();
      continue;
    }
    encodeOne(std::move(job.frame), job.forceKeyframe, std::move(job.output));
  }
}

}  // namespace qb::encode
