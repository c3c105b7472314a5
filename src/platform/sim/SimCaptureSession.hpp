#pragma once
// A simulated capture session. Created by SimAudioDeviceService::makeSession; the
// service scripts it (buffers, errors, interruptions) while it records a device.
// Thread-safe. Its observer is held weakly.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/AudioDeviceService.hpp"
#include "runtime/Executor.hpp"

namespace qb {

class SimAudioDeviceService;

class SimCaptureInput final : public CaptureInput {
 public:
  explicit SimCaptureInput(CaptureDevice device) : device_(std::move(device)) {}
  const CaptureDevice& device() const override { return device_; }

 private:
  CaptureDevice device_;
};

class SimCaptureSession final : public CaptureSession, public std::enable_shared_from_this<SimCaptureSession> {
 public:
  explicit SimCaptureSession(std::weak_ptr<SimAudioDeviceService> service);
  ~SimCaptureSession() override;

  void beginConfiguration() override;
  void commitConfiguration() override;
  std::vector<std::shared_ptr<CaptureInput>> inputs() const override;
  void removeInput(const std::shared_ptr<CaptureInput>& input) override;
  bool canAddInput(const CaptureInput& input) const override;
  void addInput(std::shared_ptr<CaptureInput> input) override;
  bool hasAudioDataOutput() const override;
  bool canAddAudioDataOutput() const override;
  void addAudioDataOutput(std::shared_ptr<Queue> queue, SampleBufferHandler handler) override;
  void startRunning() override;
  void stopRunning() override;
  bool isRunning() const override;
  void setObserver(std::weak_ptr<CaptureSessionObserver> observer) override;

  // The device it records while running (or was recording when interrupted).
  std::optional<std::string> recordingDevice() const;
  bool isInterrupted() const;
  int configurationCount() const;  // committed configurations

  // Scripting, called by the service.
  void deliver(const AudioSampleBuffer& buffer);
  void runtimeError(const std::optional<PlatformError>& error, bool stops);
  void interrupted(const std::string& userInfo);
  void interruptionEnded(bool resume);

 private:
  // Leaves the running state; the caller announces why. Returns the device it
  // recorded, if it was running.
  std::optional<std::string> haltLocked();
  // Follows the first input while running (a reconfiguration of a running session).
  void retarget();
  void notifyObserver(std::function<void(CaptureSessionObserver&)> call);

  std::weak_ptr<SimAudioDeviceService> service_;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<CaptureInput>> inputs_;
  std::shared_ptr<Queue> outputQueue_;
  std::shared_ptr<SampleBufferHandler> handler_;
  std::weak_ptr<CaptureSessionObserver> observer_;
  int configDepth_ = 0;
  int configurations_ = 0;
  bool running_ = false;
  bool interrupted_ = false;
  bool resumeAfterInterruption_ = false;
  std::string recordingUid_;
  uint64_t runGeneration_ = 0;  // buffers queued in an earlier run are dropped
};

}  // namespace qb
