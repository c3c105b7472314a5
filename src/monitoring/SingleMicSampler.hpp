#pragma once
// Measures one microphone for a short window in a capture session of its own, in the
// device's own format, independent of any other session on the same device.
//
// Threads: set-up, the end-of-window timer and the stop run on the sampler's session
// queue, buffers on its data queue; the accumulators are shared between them under
// lock_. The completion runs once, on the queue given at creation. The blocks queued for
// the sampler keep it alive until it completes; buffers hold it weakly.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <variant>

#include "platform/AudioDeviceService.hpp"
#include "runtime/Executor.hpp"

namespace qb {

enum class MicSamplerError { cannotAddInput, cannotAddOutput, sessionStartFailed, noFramesCaptured };
std::string_view describe(MicSamplerError error);

class SingleMicSampler final : public std::enable_shared_from_this<SingleMicSampler> {
  struct Token {
    explicit Token() = default;
  };

 public:
  struct Measurement {
    double rms = 0;          // mean of the per-buffer levels
    double peakRms = 0;      // largest per-buffer level
    int64_t frameCount = 0;  // buffers measured, not audio frames
  };

  static std::shared_ptr<SingleMicSampler> make(Executor& executor, std::shared_ptr<AudioDeviceService> audio,
                                                CaptureDevice device, int durationMs,
                                                std::shared_ptr<Queue> completionQueue);
  SingleMicSampler(Token, Executor& executor, std::shared_ptr<AudioDeviceService> audio, CaptureDevice device,
                   int durationMs, std::shared_ptr<Queue> completionQueue);
  SingleMicSampler(const SingleMicSampler&) = delete;
  SingleMicSampler& operator=(const SingleMicSampler&) = delete;

  // Opens the device and measures for durationMs + 50 ms. Once only.
  void sample(std::function<void(Result<Measurement, std::string>)> completion);
  // Ends the window at once without a result: the session stops and the completion is
  // dropped. Any thread.
  void cancel();

  // A buffer from the audio data output (on the data queue).
  void captureOutput(const AudioSampleBuffer& sampleBuffer);

  static constexpr double kWindowSlack = 0.05;

 private:
  void setUp();
  void endWindow();
  void completeWith(Result<Measurement, std::string> result);

  std::shared_ptr<AudioDeviceService> audio_;
  const CaptureDevice device_;
  const int durationMs_;
  std::shared_ptr<Queue> completionQueue_;
  std::shared_ptr<Queue> sessionQueue_;
  std::shared_ptr<Queue> dataQueue_;
  std::shared_ptr<CaptureSession> session_;  // session queue only

  std::mutex lock_;
  std::function<void(Result<Measurement, std::string>)> completion_;
  double rmsAccumulator_ = 0;
  double peakRms_ = 0;
  int64_t frameCount_ = 0;
  bool isCompleted_ = false;
};

}  // namespace qb
