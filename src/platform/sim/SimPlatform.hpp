#pragma once
// The simulated backend: every platform service, scripted from tests. The executor
// must outlive it; with a ManualExecutor everything runs in virtual time.

#include <memory>

#include "platform/Platform.hpp"
#include "platform/sim/SimAppIdentity.hpp"
#include "platform/sim/SimAudioDeviceService.hpp"
#include "platform/sim/SimCaptureSession.hpp"
#include "platform/sim/SimCaptureStream.hpp"
#include "platform/sim/SimProcessLauncher.hpp"
#include "platform/sim/SimScreenCaptureService.hpp"
#include "platform/sim/SimVideoEncoder.hpp"
#include "platform/sim/SimWakeNotifier.hpp"

namespace qb {

class SimPlatform {
 public:
  // Starts empty: no devices, no displays; permissions and access granted.
  explicit SimPlatform(Executor& executor);

  // The services as the logic sees them. images stays empty (PNG encoding is real).
  Platform platform() const;

  // A typical machine: display 1 (1920x1080), a built-in microphone "builtin-mic"
  // ("Built-in Microphone", 48 kHz mono float32, the default) and speakers.
  void addTypicalMachine();

  Executor& executor() const { return executor_; }
  SimAudioDeviceService& audio() const { return *audio_; }
  SimScreenCaptureService& screen() const { return *screen_; }
  SimWakeNotifier& wake() const { return *wake_; }
  SimVideoEncoderFactory& videoEncoders() const { return *encoders_; }
  SimProcessLauncher& processes() const { return *processes_; }
  SimAppIdentity& apps() const { return *apps_; }

 private:
  Executor& executor_;
  std::shared_ptr<SimAudioDeviceService> audio_;
  std::shared_ptr<SimScreenCaptureService> screen_;
  std::shared_ptr<SimWakeNotifier> wake_;
  std::shared_ptr<SimVideoEncoderFactory> encoders_;
  std::shared_ptr<SimProcessLauncher> processes_;
  std::shared_ptr<SimAppIdentity> apps_;
};

}  // namespace qb
