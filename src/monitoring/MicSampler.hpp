#pragma once
// SAMPLE_RUNNING_MICS: measures every microphone that is in use somewhere, each in a
// short capture session of its own, a few at a time, and reports them by level.
//
// Threads: any thread may start a sampling or cancel it; the work runs on the sampler's
// own queue ("mic.sampler"), which owns the results, and on the sessions' queues. The
// blocks queued for a sampling keep the sampler alive until it ends.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "monitoring/SingleMicSampler.hpp"
#include "platform/AudioDeviceService.hpp"
#include "runtime/Executor.hpp"

namespace qb {

struct MicSampleResult {
  std::string id;
  std::string name;  // at most 50 characters
  double rms = 0;
  double peakRms = 0;
  int64_t framesCaptured = 0;        // buffers measured
  int64_t sampleDurationMs = 0;      // wall-clock time this device took, set-up included
  std::optional<std::string> error;  // at most 100 characters
};

struct RunningMicsSampleDiagnostic {
  std::string event = "running_mics_sample";
  std::string reason;
  std::vector<MicSampleResult> samples;  // loudest first
  int64_t totalDurationMs = 0;
  std::optional<std::string> selectedDeviceId;
};

// Compact JSON, or none when it cannot be encoded (a name that is not UTF-8, a level that
// is not finite).
std::optional<std::string> encodeRunningMicsSample(const RunningMicsSampleDiagnostic& diagnostic);

class MicSampler final : public std::enable_shared_from_this<MicSampler> {
  struct Token {
    explicit Token() = default;
  };

 public:
  static std::shared_ptr<MicSampler> make(Executor& executor, std::shared_ptr<AudioDeviceService> audio,
                                          int sampleDurationMs, int maxConcurrent);
  MicSampler(Token, Executor& executor, std::shared_ptr<AudioDeviceService> audio, int sampleDurationMs,
             int maxConcurrent);
  MicSampler(const MicSampler&) = delete;
  MicSampler& operator=(const MicSampler&) = delete;

  // Samples every running microphone; `done` runs once on the sampler's queue with the
  // report, unless the sampling is cancelled first. Failures of single devices become
  // entries of the report. One sampling per sampler.
  void sampleRunningMics(std::string reason, std::optional<std::string> selectedDeviceId,
                         std::function<void(RunningMicsSampleDiagnostic)> done);
  // One device; `done` runs once on the sampler's queue.
  void sampleSingleMic(const CaptureDevice& device, std::function<void(MicSampleResult)> done);
  // Stops every session at once; no report follows.
  void cancel();

 private:
  // On queue_.
  void begin(std::string reason, std::optional<std::string> selectedDeviceId,
             std::function<void(RunningMicsSampleDiagnostic)> done);
  void startNext();
  void finished(MicSampleResult result);

  Executor& executor_;
  std::shared_ptr<AudioDeviceService> audio_;
  const int sampleDurationMs_;
  const int maxConcurrent_;
  std::shared_ptr<Queue> queue_;

  // queue_ only.
  double startTime_ = 0;
  std::vector<CaptureDevice> pending_;  // running devices not yet started, in discovery order
  size_t nextDevice_ = 0;
  int inFlight_ = 0;
  RunningMicsSampleDiagnostic report_;
  std::function<void(RunningMicsSampleDiagnostic)> done_;

  std::mutex mutex_;  // guards the two below
  bool cancelled_ = false;
  std::vector<std::shared_ptr<SingleMicSampler>> active_;
};

}  // namespace qb
