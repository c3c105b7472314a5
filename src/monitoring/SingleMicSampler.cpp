#include "monitoring/SingleMicSampler.hpp"

#include <utility>

#include "audio/SampleBufferPcm.hpp"

namespace qb {

std::string_view describe(MicSamplerError error) {
  switch (error) {
    case MicSamplerError::cannotAddInput:
      return "cannotAddInput";
    case MicSamplerError::cannotAddOutput:
      return "cannotAddOutput";
    case MicSamplerError::sessionStartFailed:
      return "sessionStartFailed";
    case MicSamplerError::noFramesCaptured:
      return "noFramesCaptured";
  }
  return "noFramesCaptured";
}

std::shared_ptr<SingleMicSampler> SingleMicSampler::make(Executor& executor, std::shared_ptr<AudioDeviceService> audio,
                                                         CaptureDevice device, int durationMs,
                                                         std::shared_ptr<Queue> completionQueue) {
  return std::make_shared<SingleMicSampler>(Token{}, executor, std::move(audio), std::move(device), durationMs,
                                            std::move(completionQueue));
}

SingleMicSampler::SingleMicSampler(Token, Executor& executor, std::shared_ptr<AudioDeviceService> audio,
                                   CaptureDevice device, int durationMs, std::shared_ptr<Queue> completionQueue)
    : audio_(std::move(audio)),
      device_(std::move(device)),
      durationMs_(durationMs),
      completionQueue_(std::move(completionQueue)),
      sessionQueue_(executor.makeQueue("mic.sampler.session")),
      dataQueue_(executor.makeQueue("mic.sampler.data")) {}

void SingleMicSampler::sample(std::function<void(Result<Measurement, std::string>)> completion) {
  {
    std::lock_guard lock(lock_);
    completion_ = std::move(completion);
  }
  sessionQueue_->async([self = shared_from_this()] { self->setUp(); });
}

void SingleMicSampler::setUp() {
  {
    std::lock_guard lock(lock_);
    if (isCompleted_) return;  // cancelled before it began
  }
  session_ = audio_->makeSession();
  session_->beginConfiguration();
  auto made = audio_->makeInput(device_);
  if (!made.input) {
    session_->commitConfiguration();
    completeWith(made.error.printed());
    return;
  }
  if (!session_->canAddInput(*made.input)) {
    session_->commitConfiguration();
    completeWith(std::string(describe(MicSamplerError::cannotAddInput)));
    return;
  }
  session_->addInput(made.input);
  if (!session_->canAddAudioDataOutput()) {
    session_->commitConfiguration();
    completeWith(std::string(describe(MicSamplerError::cannotAddOutput)));
    return;
  }
  std::weak_ptr<SingleMicSampler> weak = weak_from_this();
  session_->addAudioDataOutput(dataQueue_, [weak](const AudioSampleBuffer& buffer) {
    if (auto self = weak.lock()) self->captureOutput(buffer);
  });
  session_->commitConfiguration();
  session_->startRunning();
  if (!session_->isRunning()) {
    completeWith(std::string(describe(MicSamplerError::sessionStartFailed)));
    return;
  }
  {
    // Cancelled while the session started.
    std::lock_guard lock(lock_);
    if (isCompleted_) {
      session_->stopRunning();
      return;
    }
  }
  sessionQueue_->asyncAfter(durationMs_ / 1000.0 + kWindowSlack, [self = shared_from_this()] { self->endWindow(); });
}

void SingleMicSampler::endWindow() {
  Measurement m;
  {
    std::lock_guard lock(lock_);
    if (isCompleted_) return;
    isCompleted_ = true;
    m.frameCount = frameCount_;
    m.rms = frameCount_ < 1 ? 0 : rmsAccumulator_ / static_cast<double>(frameCount_);
    m.peakRms = peakRms_;
  }
  session_->stopRunning();
  if (m.frameCount == 0)
    completeWith(std::string(describe(MicSamplerError::noFramesCaptured)));
  else
    completeWith(m);
}

void SingleMicSampler::cancel() {
  {
    std::lock_guard lock(lock_);
    isCompleted_ = true;
    completion_ = nullptr;
  }
  sessionQueue_->async([self = shared_from_this()] {
    if (self->session_) self->session_->stopRunning();
  });
}

void SingleMicSampler::completeWith(Result<Measurement, std::string> result) {
  {
    std::lock_guard lock(lock_);
    isCompleted_ = true;
  }
  completionQueue_->async([self = shared_from_this(), result = std::move(result)]() mutable {
    std::function<void(Result<Measurement, std::string>)> completion;
    {
      std::lock_guard lock(self->lock_);
      completion = std::exchange(self->completion_, nullptr);
    }
    if (completion) completion(std::move(result));
  });
}

void SingleMicSampler::captureOutput(const AudioSampleBuffer& sampleBuffer) {
  {
    std::lock_guard lock(lock_);
    if (isCompleted_) return;
  }
  // A buffer that cannot be read as PCM simply does not count.
  auto converted = sampleBufferToPcm(sampleBuffer);
  if (!converted.buffer) return;
  const double level = pcmLevel(*converted.buffer);
  std::lock_guard lock(lock_);
  if (isCompleted_) return;
  rmsAccumulator_ += level;
  if (level > peakRms_) peakRms_ = level;
  frameCount_ += 1;
}

}  // namespace qb
