#include "monitoring/MicSampler.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>

#include "audio/AudioTestSupport.hpp"
#include "platform/sim/SimPlatform.hpp"
#include "runtime/ManualExecutor.hpp"

namespace qb::testing {
namespace {

using ::testing::ElementsAre;

class MicSamplerTest : public ::testing::Test {
 protected:
  MicSamplerTest() { sim.addTypicalMachine(); }

  // A microphone in use by someone else, carrying a tone of this amplitude.
  void addRunningMic(const std::string& uid, double amplitude,
                     const StreamDescription& format = pcmDescription(SampleFormat::Float32, 48000, 1, true)) {
    sim.audio().addMicrophone(uid, "Mic " + uid, format);
    sim.audio().setRunningSomewhere(uid, PropertyScope::input, true);
    if (amplitude > 0) sim.audio().setTone(uid, 440, amplitude);
  }

  int recordingSessions(const std::vector<std::string>& uids) {
    int n = 0;
    for (const auto& uid : uids) n += sim.audio().recordingSessionCount(uid);
    return n;
  }

  // Starts a sampling with the command loop's settings; the report lands in `report`.
  std::shared_ptr<MicSampler> start(std::optional<std::string> selected = std::nullopt) {
    auto sampler = MicSampler::make(ex, sim.platform().audio, 200, 3);
    sampler->sampleRunningMics("test", std::move(selected), [this](RunningMicsSampleDiagnostic d) { report = d; });
    return sampler;
  }

  std::vector<std::string> log() const { return output.linesStartingWith("[MicSampler] "); }

  ManualExecutor ex;
  OutputRecorder output;
  SimPlatform sim{ex};
  std::optional<RunningMicsSampleDiagnostic> report;
};

TEST_F(MicSamplerTest, SamplesFiveRunningMicsThreeAtATimeAndListsThemLoudestFirst) {
  const std::vector<std::string> uids = {"a", "b", "c", "d", "e"};
  const double amplitudes[] = {0.1, 0.4, 0.2, 0.05, 0.3};
  for (size_t i = 0; i < uids.size(); ++i) addRunningMic(uids[i], amplitudes[i]);
  // Levels come from each device's own format: stereo 16-bit reads like mono float.
  sim.audio().setDeviceFormat("c", pcmDescription(SampleFormat::Int16, 44100, 2, true));
  auto sampler = start("a");

  int most = 0;
  double fourthStarted = -1;
  while (!report && ex.elapsed() < 5) {
    ex.advance(0.005);
    most = std::max(most, recordingSessions(uids));
    if (fourthStarted < 0 && sim.audio().recordingSessionCount("d") > 0) fourthStarted = ex.elapsed();
  }
  ASSERT_TRUE(report);
  EXPECT_EQ(most, 3);
  // The fourth device waits for the first window (200 + 50 ms) to close.
  EXPECT_GE(fourthStarted, 0.25);
  EXPECT_LT(fourthStarted, 0.26);
  EXPECT_EQ(recordingSessions(uids), 0);

  std::vector<std::string> order;
  for (const auto& s : report->samples) {
    order.push_back(s.id);
    EXPECT_FALSE(s.error) << s.id;
    EXPECT_GE(s.framesCaptured, 10) << s.id;
    EXPECT_GE(s.sampleDurationMs, 250) << s.id;
    EXPECT_EQ(s.name, "Mic " + s.id);
  }
  EXPECT_THAT(order, ElementsAre("b", "e", "c", "a", "d"));
  for (const auto& s : report->samples) {
    const double expected = amplitudes[s.id[0] - 'a'] / std::sqrt(2.0);
    EXPECT_NEAR(s.rms, expected, expected * 0.05) << s.id;
    EXPECT_GE(s.peakRms, s.rms) << s.id;
  }
  EXPECT_GE(report->totalDurationMs, 500);
  EXPECT_EQ(report->selectedDeviceId, "a");
  EXPECT_EQ(log().front(), "[MicSampler] Starting running mics sample: reason=test");
  EXPECT_EQ(log()[1], "[MicSampler] Found 5 running devices out of 6 total");
  EXPECT_EQ(log().back(),
            "[MicSampler] Completed sampling 5 mics in " + std::to_string(report->totalDurationMs) + "ms");
}

TEST_F(MicSamplerTest, FailingDevicesAreListedWithTheirErrorAndNothingElseIsSampled) {
  addRunningMic("good", 0.2);
  addRunningMic("gone", 0.2);
  addRunningMic("stuck", 0.2);
  addRunningMic("silent", 0);
  sim.audio().addMicrophone("idle", std::string(80, 'x'));  // not running: not sampled
  sim.audio().failInputCreation("gone", PlatformError{-11814, "SimErrorDomain", std::string(200, 'z')});
  sim.audio().failSessionStart(true, "stuck");
  start();
  ex.advance(2);
  ASSERT_TRUE(report);
  EXPECT_EQ(log()[1], "[MicSampler] Found 4 running devices out of 6 total");
  ASSERT_EQ(report->samples.size(), 4u);
  EXPECT_EQ(report->samples[0].id, "good");
  std::map<std::string, std::string> errors;
  for (size_t i = 1; i < 4; ++i) {
    const auto& s = report->samples[i];
    EXPECT_EQ(s.rms, 0);
    EXPECT_EQ(s.peakRms, 0);
    EXPECT_EQ(s.framesCaptured, 0);
    errors[s.id] = s.error.value_or("");
  }
  EXPECT_EQ(errors["stuck"], "sessionStartFailed");
  EXPECT_EQ(errors["silent"], "noFramesCaptured");
  EXPECT_EQ(errors["gone"].size(), 100u);
  EXPECT_TRUE(errors["gone"].starts_with("Error Domain=SimErrorDomain Code=-11814")) << errors["gone"];
  EXPECT_FALSE(report->selectedDeviceId);

  // A session that refuses the input or the output.
  for (bool input : {true, false}) {
    report.reset();
    sim.audio().setCanAddInput(!input);
    sim.audio().setCanAddAudioDataOutput(input);
    start();
    ex.advance(2);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->samples[0].error, input ? "cannotAddInput" : "cannotAddOutput");
  }
}

TEST_F(MicSamplerTest, NothingRunningGivesAnEmptyReportAndCancelEndsSessionsWithoutOne) {
  start();
  ex.runUntilIdle();
  ASSERT_TRUE(report);
  EXPECT_TRUE(report->samples.empty());
  EXPECT_EQ(log()[1], "[MicSampler] Found 0 running devices out of 1 total");
  EXPECT_EQ(encodeRunningMicsSample(*report),
            R"({"event":"running_mics_sample","reason":"test","samples":[],"totalDurationMs":0})");

  report.reset();
  addRunningMic("a", 0.2);
  auto sampler = start();
  ex.advance(0.1);
  ASSERT_EQ(sim.audio().recordingSessionCount("a"), 1);
  sampler->cancel();
  ex.advance(1);
  EXPECT_EQ(sim.audio().recordingSessionCount("a"), 0);
  EXPECT_FALSE(report);
}

TEST(MicSampleEncoding, OmitsAbsentMembersAndRefusesWhatJsonCannotCarry) {
  RunningMicsSampleDiagnostic d;
  d.reason = "r";
  d.selectedDeviceId = "mic";
  d.samples.push_back({"a", "A", 0.5, 0.75, 12, 260, std::nullopt});
  d.samples.push_back({"b", "B", 0, 0, 0, 251, "noFramesCaptured"});
  auto json = nlohmann::json::parse(*encodeRunningMicsSample(d));
  EXPECT_EQ(json["selectedDeviceId"], "mic");
  EXPECT_FALSE(json["samples"][0].contains("error"));
  EXPECT_EQ(json["samples"][1]["error"], "noFramesCaptured");
  EXPECT_EQ(json["samples"][0]["framesCaptured"], 12);

  d.samples[0].rms = NAN;
  EXPECT_FALSE(encodeRunningMicsSample(d));
  d.samples[0].rms = 0;
  d.samples[0].name = "\xff";
  EXPECT_FALSE(encodeRunningMicsSample(d));
}

}  // namespace
}  // namespace qb::testing
