// Which recording streams the activity tool reports as an application using a microphone,
// including the PipeWire forms the private test server (PulseAudio) cannot show.

#include <gtest/gtest.h>

#include "platform/linux/pulse/MicrophoneUse.hpp"

namespace qb::pulse {
namespace {

constexpr std::array<int, 2> kOwn = {50, 40};  // the tool, the helper

RecordingUseFacts meetingApp() {
  RecordingUseFacts f;
  f.hasClient = true;
  f.hostPid = 100;
  f.clientProps = {{"application.name", "Meet"}, {"application.id", "us.example.Meet"}};
  f.streamProps = {{"media.name", "Microphone"}};
  return f;
}

TEST(MicrophoneUse, OnlyAnApplicationsLiveRecordingOfAMicrophoneCounts) {
  EXPECT_EQ(whyNotMicrophoneUse(meetingApp(), kOwn), std::nullopt);

  const std::vector<std::pair<std::function<void(RecordingUseFacts&)>, std::string_view>> cases = {
      {[](auto& f) { f.hasClient = false; }, "server module"},
      {[](auto& f) { f.corked = true; }, "corked"},
      {[](auto& f) { f.peakMeter = true; }, "peak meter"},
      {[](auto& f) { f.streamProps["media.name"] = "Peak detect"; }, "peak meter"},
      {[](auto& f) { f.recordsMonitor = true; }, "records an output"},
      {[](auto& f) { f.streamProps["stream.capture.sink"] = "true"; }, "records an output"},
      {[](auto& f) { f.clientProps["application.id"] = "quellbrook"; }, "ours"},
      {[](auto& f) { f.streamProps["application.id"] = "quellbrook"; }, "ours"},
      {[](auto& f) { f.hostPid = 40; }, "ours"},
      {[](auto& f) { f.clientProps["application.id"] = "org.PulseAudio.pavucontrol"; }, "volume control"},
      {[](auto& f) { f.clientProps["application.name"] = "PulseAudio Volume Control"; }, "volume control"},
      {[](auto& f) { f.clientProps["application.process.binary"] = "pwvucontrol"; }, "volume control"},
      {[](auto& f) { f.hostPid.reset(); }, "no process"},
  };
  for (const auto& [change, reason] : cases) {
    auto facts = meetingApp();
    change(facts);
    EXPECT_EQ(whyNotMicrophoneUse(facts, kOwn), reason);
  }
}

}  // namespace
}  // namespace qb::pulse
