// The audio device service contract, run against the real backend and the private sound
// server of scripts/test-env (skipped when it is not running).

#include <map>
#include <memory>

#include "linux/PulseTestEnv.hpp"
#include "platform/contract/AudioDeviceServiceContract.hpp"
#include "platform/linux/pulse/LinuxAudioDeviceService.hpp"
#include "platform/linux/pulse/PulseConnection.hpp"
#include "runtime/ThreadExecutor.hpp"

namespace qb::contract {

namespace {

class LinuxAudioContractDriver final : public AudioContractDriver {
 public:
  LinuxAudioContractDriver() {
    if (!testenv::serverAvailable()) return;
    testenv::pactl("set-default-source mic1");
    connection_ = std::make_shared<pulse::PulseConnection>();
    service_ = std::make_unique<LinuxAudioDeviceService>(connection_, executor_.makeQueue("contract.events"));
  }
  ~LinuxAudioContractDriver() override {
    children_.clear();
    tones_.clear();
    service_.reset();
    connection_.reset();
    if (testenv::serverAvailable()) {
      // Leave the environment as the next test expects it, even after a failed restart.
      if (!testenv::pactl("info")) testenv::testEnv("start-pulse");
      testenv::pactl("set-default-source mic1");
    }
  }

  std::optional<std::string> unavailableReason() override {
    if (!testenv::serverAvailable()) return "no private sound server: run eval \"$(scripts/test-env start)\" first";
    return std::nullopt;
  }

  Executor& executor() override { return executor_; }
  AudioDeviceService& service() override { return *service_; }

  void setDefaultSource(const std::string& uniqueID) override { testenv::pactl("set-default-source " + uniqueID); }
  void playToneIntoMic(const std::string& uniqueID, double frequency, double amplitude) override {
    tones_[uniqueID] = testenv::playTone(uniqueID, frequency, amplitude, 60);
  }
  void startExternalRecording(const std::string& uniqueID) override {
    children_["rec " + uniqueID] =
        std::make_unique<testenv::Background>("parec --device=" + uniqueID + " --raw >/dev/null 2>&1");
  }
  void stopExternalRecording(const std::string& uniqueID) override { children_.erase("rec " + uniqueID); }
  void killServer() override { testenv::testEnv("kill-pulse"); }
  void restartServer() override {
    children_.clear();  // players and recorders die with the server's connection anyway
    tones_.clear();
    testenv::testEnv("start-pulse");
  }

  std::optional<StreamDescription> nativeFormat(const std::string& uniqueID) override {
    return testenv::sourceFormat(uniqueID);
  }

  bool waitUntil(const std::function<bool()>& pred, double seconds) override {
    return testenv::waitUntil(pred, seconds);
  }

 private:
  ThreadExecutor executor_;
  std::shared_ptr<pulse::PulseConnection> connection_;
  std::unique_ptr<LinuxAudioDeviceService> service_;
  std::map<std::string, std::unique_ptr<testenv::Background>> children_;
  std::map<std::string, std::unique_ptr<qbtools::TonePlayer>> tones_;
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(LinuxPulse, AudioDeviceServiceContract, ::testing::Types<LinuxAudioContractDriver>);

}  // namespace qb::contract
