#pragma once
// SAMPLE_RUNNING_MICS requests, one sampling at a time. A request that comes while a
// sampling runs waits for the next one, which answers every request that waited, each
// with its own report (its own reason and selected device): a burst of requests costs
// at most two samplings, instead of a sampling (with its threads and capture sessions)
// each.
//
// Threads: any thread may request or cancel; reports are delivered on a sampler's queue.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "monitoring/MicSampler.hpp"

namespace qb {

class MicSampleQueue final : public std::enable_shared_from_this<MicSampleQueue> {
  struct Token {
    explicit Token() = default;
  };

 public:
  using Deliver = std::function<void(const RunningMicsSampleDiagnostic&)>;

  static std::shared_ptr<MicSampleQueue> make(Executor& executor, std::shared_ptr<AudioDeviceService> audio,
                                              int sampleDurationMs, int maxConcurrent, Deliver deliver);
  MicSampleQueue(Token, Executor& executor, std::shared_ptr<AudioDeviceService> audio, int sampleDurationMs,
                 int maxConcurrent, Deliver deliver);

  void request(std::string reason, std::optional<std::string> selectedDeviceId);
  // Ends the running sampling and forgets the waiting requests; nothing is delivered.
  void cancel();

 private:
  struct Request {
    std::string reason;
    std::optional<std::string> selectedDeviceId;
  };
  void startLocked(std::vector<Request> batch, std::unique_lock<std::mutex>& lock);
  void finished(std::vector<Request> batch, RunningMicsSampleDiagnostic report);

  Executor& executor_;
  std::shared_ptr<AudioDeviceService> audio_;
  const int sampleDurationMs_;
  const int maxConcurrent_;
  Deliver deliver_;

  std::mutex mutex_;  // guards the three below
  std::shared_ptr<MicSampler> running_;
  std::vector<Request> waiting_;
  bool cancelled_ = false;
};

}  // namespace qb
