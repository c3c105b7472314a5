#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "sources/MicrophoneTestSupport.hpp"

namespace qb::testing {
namespace {

using nlohmann::json;

const std::string kMic2 = "usb-mic";

std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST_F(MicrophoneTest, StartReportListsDevicesButNoLevelDriftOrRunningOthers) {
  const std::string longName = repeat("Cafe\u0301 ", 10) + repeat("x", 10);  // 60 characters
  sim.audio().addMicrophone(kMic2, longName);
  sim.audio().setRunningSomewhere(kMic2, PropertyScope::input, true);
  ASSERT_EQ(makeMic().start(), std::nullopt);

  auto payload = output.linesStartingWith("DEVICE_DIAGNOSTIC:").back().substr(18);
  EXPECT_EQ(json::parse(payload).dump(), payload);  // compact
  auto report = json::parse(payload);
  EXPECT_EQ(report, json::parse(R"({"event":"capture_start",
      "selectedDevice":{"id":"builtin-mic","name":"Built-in Microphone"},
      "allInputDevices":[{"id":"builtin-mic","name":"Built-in Microphone","isDefault":true,"isRunning":true},
                         {"id":"usb-mic","name":")" +
                                repeat("Cafe\u0301 ", 10) + R"(","isDefault":false,"isRunning":true}]})"));

  sim.audio().setDefaultDevice(kMic2);
  ex.advance(1);
  mic->stop();
  ASSERT_EQ(mic->start(), std::nullopt);
  EXPECT_EQ(lastDiagnostic()["selectedDevice"]["name"], longName);  // never shortened
}

TEST_F(MicrophoneTest, ListsTenDevicesAndCountsTheRest) {
  for (int i = 2; i <= 10; ++i) sim.audio().addMicrophone("mic" + std::to_string(i), "Mic " + std::to_string(i));
  auto& m = makeMic();
  ASSERT_EQ(m.start(), std::nullopt);
  EXPECT_EQ(lastDiagnostic()["allInputDevices"].size(), 10u);
  EXPECT_FALSE(lastDiagnostic().contains("totalDeviceCount"));

  sim.audio().addMicrophone("mic11", "Mic 11");
  m.emitCaptureProblemDiagnostic("glitch");
  auto report = lastDiagnostic();
  EXPECT_EQ(report["event"], "capture_problem");
  EXPECT_EQ(report["reason"], "glitch");
  ASSERT_EQ(report["allInputDevices"].size(), 10u);
  EXPECT_EQ(report["allInputDevices"][9]["id"], "mic10");
  EXPECT_EQ(report["totalDeviceCount"], 11);
  EXPECT_EQ(micLog().back(), "Emitted capture_problem diagnostic (reason=glitch, frames=0)");
}

TEST_F(MicrophoneTest, StatusAndProblemReportsShowDriftAndOtherRunningDevices) {
  sim.audio().addMicrophone(kMic2, "USB Mic");
  auto& m = makeMic();
  ASSERT_EQ(m.start(), std::nullopt);

  // Running only for output still counts; the selected device, running for our own
  // session, is never an "other".
  sim.audio().setRunningSomewhere(kMic2, PropertyScope::output, true);
  m.emitCaptureStatusDiagnostic(0.25, 7);
  EXPECT_EQ(lastDiagnostic(), json::parse(R"({"event":"capture_status",
      "selectedDevice":{"id":"builtin-mic","name":"Built-in Microphone","rms":0.25,"framesReceived":7},
      "otherRunningDevices":[{"id":"usb-mic","name":"USB Mic","isDefault":false,"isRunning":true}]})"));
  EXPECT_EQ(micLog().back(), "Emitted capture_status diagnostic (RMS=0.250000, frames=7, drift=false)");

  // Reports read the default at once, before the source follows it.
  sim.audio().setDefaultDevice(kMic2);
  m.emitCaptureStatusDiagnostic(0.5, 8);
  EXPECT_EQ(lastDiagnostic()["driftDetected"], true);
  EXPECT_EQ(lastDiagnostic()["currentDefaultId"], kMic2);
  EXPECT_EQ(micLog().back(), "Emitted capture_status diagnostic (RMS=0.500000, frames=8, drift=true)");

  sim.audio().setDefaultDevice(std::nullopt);
  m.emitCaptureProblemDiagnostic("requested");
  EXPECT_EQ(lastDiagnostic()["driftDetected"], true);
  EXPECT_FALSE(lastDiagnostic().contains("currentDefaultId"));
}

TEST_F(MicrophoneTest, FailedPropertyReadsMeanNotRunning) {
  sim.audio().addMicrophone(kMic2, "USB Mic");
  sim.audio().setRunningSomewhere(kMic2, PropertyScope::global, true);
  auto& m = makeMic();
  ASSERT_EQ(m.start(), std::nullopt);
  auto mic2Running = [&] {
    m.emitCaptureProblemDiagnostic("requested");
    return lastDiagnostic()["allInputDevices"][1]["isRunning"].get<bool>();
  };
  sim.audio().failPropertyRead(SimAudioProperty::uid, kAudioBadObjectError, kMic2);
  EXPECT_FALSE(mic2Running());
  EXPECT_FALSE(lastDiagnostic().contains("otherRunningDevices"));

  sim.audio().clearPropertyFailures();
  sim.audio().failPropertyRead(SimAudioProperty::isRunningSomewhere, kAudioUnknownPropertyError, kMic2,
                               PropertyScope::global);
  EXPECT_FALSE(mic2Running());
  sim.audio().setRunningSomewhere(kMic2, PropertyScope::input, true);  // the next scope tried
  EXPECT_TRUE(mic2Running());
  sim.audio().failPropertyRead(SimAudioProperty::deviceIDs, kAudioBadObjectError);
  EXPECT_FALSE(mic2Running());
}

TEST_F(MicrophoneTest, UnencodableReportsAreReplacedByALogLine) {
  auto& m = makeMic();
  ASSERT_EQ(m.start(), std::nullopt);
  output.clear();
  m.emitCaptureStatusDiagnostic(std::nan(""), 1);
  EXPECT_THAT(micLog(), ::testing::ElementsAre("Failed to encode device diagnostic",
                                               "Emitted capture_status diagnostic (RMS=nan, frames=1, drift=false)"));

  // A float device delivering an infinity makes the level unencodable too.
  auto bad = tone();
  float inf = INFINITY;
  std::memcpy(bad.data.data(), &inf, 4);
  deliver(bad);
  m.emitCaptureProblemDiagnostic("requested");
  EXPECT_EQ(micLog().end()[-2], "Failed to encode device diagnostic");

  sim.audio().addMicrophone("bad", "Bad \xff name");
  sim.audio().setRunningSomewhere("bad", PropertyScope::input, true);
  m.emitCaptureStatusDiagnostic(0.1, 1);
  EXPECT_EQ(micLog().end()[-2], "Failed to encode device diagnostic");
  EXPECT_TRUE(output.linesStartingWith("DEVICE_DIAGNOSTIC:").empty());
}

}  // namespace
}  // namespace qb::testing
