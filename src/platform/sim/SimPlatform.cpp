#include "platform/sim/SimPlatform.hpp"

namespace qb {

SimPlatform::SimPlatform(Executor& executor)
    : executor_(executor),
      audio_(std::make_shared<SimAudioDeviceService>(executor)),
      screen_(std::make_shared<SimScreenCaptureService>(executor)),
      wake_(std::make_shared<SimWakeNotifier>(executor)),
      encoders_(std::make_shared<SimVideoEncoderFactory>(executor)),
      processes_(std::make_shared<SimProcessLauncher>(executor)),
      apps_(std::make_shared<SimAppIdentity>()) {}

Platform SimPlatform::platform() const {
  Platform p;
  p.executor = &executor_;
  p.audio = audio_;
  p.screen = screen_;
  p.wake = wake_;
  p.videoEncoders = encoders_;
  p.processes = processes_;
  p.apps = apps_;
  return p;
}

void SimPlatform::addTypicalMachine() {
  screen_->addDisplay({1, 1920, 1080});
  audio_->addMicrophone("builtin-mic", "Built-in Microphone");
  audio_->setDefaultDevice("builtin-mic");
  audio_->addOutputDevice("speakers", "Speakers");
}

}  // namespace qb
