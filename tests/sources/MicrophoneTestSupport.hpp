#pragma once
// A microphone source on the simulated machine, in virtual time, with its log and
// diagnostics recorded.

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "audio/AudioTestSupport.hpp"
#include "platform/sim/SimAudioSignal.hpp"
#include "platform/sim/SimPlatform.hpp"
#include "runtime/ManualExecutor.hpp"
#include "sources/MicrophoneSource.hpp"

namespace qb::testing {

inline const std::string kBuiltin = "builtin-mic";

class MicrophoneTest : public ::testing::Test {
 protected:
  MicrophoneTest() {
    sim.addTypicalMachine();
    platform = sim.platform();
  }

  MicrophoneSource& makeMic(std::optional<std::string> deviceID = {}) {
    mic = MicrophoneSource::make(platform, std::move(deviceID));
    mic->setOnAudioData([this](std::span<const uint8_t> bytes, int64_t) {
      delivered.insert(delivered.end(), bytes.begin(), bytes.end());
      ++chunks;
    });
    return *mic;
  }

  // Log messages of the source without their "[Swift Mic] " tag.
  std::vector<std::string> micLog() const {
    std::vector<std::string> out;
    for (auto& line : output.linesStartingWith("[Swift Mic] ")) out.push_back(line.substr(12));
    return out;
  }
  size_t countLog(const std::string& message) const {
    size_t n = 0;
    for (auto& m : micLog()) n += m == message;
    return n;
  }
  std::vector<nlohmann::json> diagnostics() const {
    std::vector<nlohmann::json> out;
    for (auto& line : output.linesStartingWith("DEVICE_DIAGNOSTIC:"))
      out.push_back(nlohmann::json::parse(line.substr(18)));
    return out;
  }
  nlohmann::json lastDiagnostic() const {
    auto all = diagnostics();
    if (all.empty()) {
      ADD_FAILURE() << "no diagnostic";
      return {};
    }
    return all.back();
  }

  void deliver(const AudioSampleBuffer& buffer, const std::string& uid = kBuiltin) {
    sim.audio().deliver(uid, buffer);
    ex.runUntilIdle();
  }
  AudioSampleBuffer tone(size_t frames = 480, double amplitude = 0.5, const std::string& uid = kBuiltin) {
    return sim.audio().toneBuffer(uid, frames, 440, amplitude);
  }

  ManualExecutor ex;
  OutputRecorder output;
  SimPlatform sim{ex};
  Platform platform;
  std::shared_ptr<MicrophoneSource> mic;
  std::vector<uint8_t> delivered;
  int chunks = 0;
};

}  // namespace qb::testing
