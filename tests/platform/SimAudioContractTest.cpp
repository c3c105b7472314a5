// The audio device service contract, run against the simulated backend in virtual time.

#include "platform/contract/AudioDeviceServiceContract.hpp"
#include "platform/sim/SimPlatform.hpp"
#include "runtime/ManualExecutor.hpp"

namespace qb::contract {

namespace {

class SimAudioContractDriver final : public AudioContractDriver {
 public:
  SimAudioContractDriver() : sim_(executor_) {
    auto& audio = sim_.audio();
    audio.addMicrophone(kMic1, kMic1Name, formats_[0]);
    audio.addMicrophone(kMic2, kMic2Name, formats_[1]);
    audio.addOutputDevice("speakers", "Speakers");
    audio.addOutputDevice("headset", "Headset");
  }

  Executor& executor() override { return executor_; }
  AudioDeviceService& service() override { return sim_.audio(); }

  void setDefaultSource(const std::string& uniqueID) override { sim_.audio().setDefaultDevice(uniqueID); }
  void playToneIntoMic(const std::string& uniqueID, double frequency, double amplitude) override {
    sim_.audio().setTone(uniqueID, frequency, amplitude, 0.02);
  }
  void startExternalRecording(const std::string& uniqueID) override { setExternal(uniqueID, true); }
  void stopExternalRecording(const std::string& uniqueID) override { setExternal(uniqueID, false); }
  void killServer() override { sim_.audio().serverDown(); }
  void restartServer() override { sim_.audio().serverUp(); }

  std::optional<StreamDescription> nativeFormat(const std::string& uniqueID) override {
    if (uniqueID == kMic1) return formats_[0];
    if (uniqueID == kMic2) return formats_[1];
    return std::nullopt;
  }

  bool waitUntil(const std::function<bool()>& pred, double seconds) override {
    return executor_.runUntil(pred, seconds, 0.005);
  }

 private:
  void setExternal(const std::string& uniqueID, bool on) {
    sim_.audio().setRunningSomewhere(uniqueID, PropertyScope::global, on);
    sim_.audio().setRunningSomewhere(uniqueID, PropertyScope::input, on);
  }

  ManualExecutor executor_;
  SimPlatform sim_;
  // Two unlike native formats, so that a backend passing buffers through unchanged is seen.
  const StreamDescription formats_[2] = {pcmDescription(SampleFormat::Int16, 48000, 2, true),
                                         pcmDescription(SampleFormat::Float32, 44100, 4, false)};
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Sim, AudioDeviceServiceContract, ::testing::Types<SimAudioContractDriver>);

}  // namespace qb::contract
