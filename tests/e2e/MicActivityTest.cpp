// The built helper reporting microphone use on the private sound server: clients that
// record, meter and stop, as START_MIC_MONITORING and SAMPLE_RUNNING_MICS see them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <thread>

#include "clients/TestRecorder.hpp"
#include "e2e/support/LiveAudioFixture.hpp"

namespace qb::e2e {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr double kMic1Hz = 600, kMic1Amp = 0.25;
constexpr double kMic2Hz = 850, kMic2Amp = 0.35;

class MicActivityTest : public LiveAudioTest {
 protected:
  void startHelper() {
    if (!helper) helper = std::make_unique<qbtools::HelperProcess>(defaultOptions());
  }

  void startMonitoring() {
    startHelper();
    const uint64_t from = helper->lineCount();
    ASSERT_TRUE(helper->send("START_MIC_MONITORING"));
    ASSERT_TRUE(helper->waitForResponse("MIC_MONITORING:started", kAnswerTimeout, from));
  }

  static std::unique_ptr<qbtest::TestRecorder> record(const std::vector<std::string>& options) {
    auto r = std::make_unique<qbtest::TestRecorder>(std::string(QB_BINARY_DIR) + "/qb-test-recorder", options);
    EXPECT_NE(r->waitReady(), "") << "the recorder did not start";
    return r;
  }

  struct MicEvent {
    std::string state;
    std::string deviceName;
    Timestamp received;
  };
  // The MIC_EVENT lines from line `from` on, checked for their four members.
  std::vector<MicEvent> micEvents(uint64_t from = 0) {
    std::vector<MicEvent> out;
    auto lines = helper->lines();
    for (size_t i = from; i < lines.size(); ++i) {
      if (!lines[i].text.starts_with("MIC_EVENT:")) continue;
      auto j = nlohmann::json::parse(lines[i].text.substr(10));
      EXPECT_EQ(j.size(), 4u) << lines[i].text;
      EXPECT_TRUE(j["deviceId"].is_string() && j["deviceId"] != "0") << lines[i].text;
      out.push_back({j["state"], j["deviceName"], lines[i].received});
    }
    return out;
  }
  std::optional<MicEvent> waitForMicEvent(const std::string& state, const std::string& name, uint64_t from,
                                          double seconds = 5) {
    auto line = helper->waitForLine(
        [&](const qbtools::Line& l) {
          if (!l.text.starts_with("MIC_EVENT:")) return false;
          auto j = nlohmann::json::parse(l.text.substr(10));
          return j["state"] == state && j["deviceName"] == name;
        },
        seconds, from);
    if (!line) return std::nullopt;
    return MicEvent{state, name, line->received};
  }

  std::string ask(const std::string& command, const std::string& prefix) {
    const uint64_t from = helper->lineCount();
    EXPECT_TRUE(helper->send(command));
    auto line = helper->waitForResponsePrefix(prefix, kAnswerTimeout, from);
    EXPECT_TRUE(line) << "no answer to " << command;
    return line ? line->body : std::string();
  }

  nlohmann::json sampleRunningMics(const std::string& reason = "test") {
    startHelper();
    const uint64_t from = helper->lineCount();
    EXPECT_TRUE(helper->send("SAMPLE_RUNNING_MICS:" + reason));
    auto line = helper->waitForLine([](const qbtools::Line& l) { return l.text.starts_with("RUNNING_MICS_SAMPLE:"); },
                                    kAnswerTimeout, from);
    if (!line) {
      ADD_FAILURE() << "no RUNNING_MICS_SAMPLE line";
      return {};
    }
    auto started = waitForText("EVENT:RUNNING_MICS_SAMPLE_STARTED", 0, from);
    EXPECT_TRUE(started && started->received <= line->received);
    return nlohmann::json::parse(line->text.substr(20));
  }
};

TEST_F(MicActivityTest, ARecordingOfTheDefaultMicrophoneIsActiveUntilItStops) {
  ASSERT_NO_FATAL_FAILURE(startMonitoring());
  ASSERT_TRUE(waitForMicEvent("inactive", "Test Microphone 1", 0));
  const uint64_t from = helper->lineCount();
  auto recorder = record({"--source=mic1", "--app-name=Recorder"});
  const auto recording = Clock::now();
  auto active = waitForMicEvent("active", "Test Microphone 1", from);
  ASSERT_TRUE(active);
  const double latency = secondsBetween(recording, active->received);
  std::printf("active after %.3f s\n", latency);
  EXPECT_LT(latency, 0.6);

  recorder.reset();
  EXPECT_TRUE(waitForMicEvent("inactive", "Test Microphone 1", from));
  ASSERT_NO_FATAL_FAILURE(stopCleanly());
}

TEST_F(MicActivityTest, MetersAndRecordingsOfMonitorsUseNoMicrophone) {
  ASSERT_NO_FATAL_FAILURE(startMonitoring());
  ASSERT_TRUE(waitForMicEvent("inactive", "Test Microphone 1", 0));
  const uint64_t from = helper->lineCount();
  auto meter1 = record({"--source=mic1", "--peak", "--app-name=Volume Control"});
  auto meter2 = record({"--source=mic2", "--peak", "--app-name=Volume Control"});
  auto monitor = record({"--monitor"});
  // Three polls of the other microphones.
  std::this_thread::sleep_for(1500ms);
  EXPECT_TRUE(micEvents(from).empty());
  ASSERT_NO_FATAL_FAILURE(stopCleanly());
}

TEST_F(MicActivityTest, ASecondMicrophoneIsNamedWhenActiveAndTheDefaultWhenItStops) {
  ASSERT_NO_FATAL_FAILURE(startMonitoring());
  ASSERT_TRUE(waitForMicEvent("inactive", "Test Microphone 1", 0));
  const uint64_t from = helper->lineCount();
  auto recorder = record({"--source=mic2"});
  ASSERT_TRUE(waitForMicEvent("active", "Test Microphone 2", from));
  const uint64_t stopped = helper->lineCount();
  recorder.reset();
  EXPECT_TRUE(waitForMicEvent("inactive", "Test Microphone 1", stopped));
  // Once each: the poll does not repeat itself.
  std::this_thread::sleep_for(700ms);
  EXPECT_EQ(micEvents(from).size(), 2u);
  ASSERT_NO_FATAL_FAILURE(stopCleanly());
}

// Once the monitor has named the new default microphone, every query names it: the answers
// come from what the server has announced, also where the server decides the default a
// moment after it was asked to (PipeWire's session manager).
TEST_F(MicActivityTest, QueriesAfterADefaultChangeAnswerWhatTheServerAnnounced) {
  ASSERT_NO_FATAL_FAILURE(startMonitoring());
  ASSERT_TRUE(waitForMicEvent("inactive", "Test Microphone 1", 0));
  int right = 0;
  for (int i = 1; i <= 40; ++i) {
    const std::string source = i % 2 ? "mic2" : "mic1";
    const std::string name = i % 2 ? "Test Microphone 2" : "Test Microphone 1";
    const uint64_t from = helper->lineCount();
    ASSERT_TRUE(pactl({"set-default-source", source}).ok());
    ASSERT_TRUE(waitForMicEvent("device_changed", name, from)) << "switch " << i;
    const bool current = ask("GET_CURRENT_MIC", "CURRENT_MIC:") == "CURRENT_MIC:" + name;
    auto list = nlohmann::json::parse(ask("LIST_DEVICES", "DEVICES_LIST:").substr(13), nullptr, false);
    const bool listed = list.is_array() && std::any_of(list.begin(), list.end(), [&](const nlohmann::json& d) {
                          return d.value("id", "") == source && d.value("name", "") == name;
                        });
    right += current && listed;
  }
  EXPECT_EQ(right, 40);
  ASSERT_NO_FATAL_FAILURE(stopCleanly());
}

TEST_F(MicActivityTest, NoRunningMicrophoneGivesAnEmptySample) {
  auto none = sampleRunningMics("idle");
  EXPECT_EQ(none["reason"], "idle");
  EXPECT_TRUE(none["samples"].is_array() && none["samples"].empty()) << none.dump();
  EXPECT_FALSE(none.contains("selectedDeviceId"));
  ASSERT_NO_FATAL_FAILURE(stopCleanly());
}

// Each level averages every buffer of a new recording, also the first ones, silent on
// PipeWire: it lies below the tone's level, which the loudest buffer has.
TEST_F(MicActivityTest, SampleReportsTheRunningMicrophonesAtTheLevelsOfTheirTones) {
  TonePlayer tone1("mic1", kMic1Hz, kMic1Amp, 20);
  TonePlayer tone2("mic2", kMic2Hz, kMic2Amp, 20);
  auto recorder1 = record({"--source=mic1"});
  auto recorder2 = record({"--source=mic2"});
  // Right after clients come and go, the test server's virtual microphones can take longer
  // than the 250 ms window to deliver to a new recording.
  std::this_thread::sleep_for(2s);
  auto report = sampleRunningMics();
  const auto& samples = report["samples"];
  ASSERT_EQ(samples.size(), 2u) << report.dump();
  EXPECT_GE(samples[0]["rms"].get<double>(), samples[1]["rms"].get<double>()) << "loudest first";
  std::map<std::string, double> expected = {{"mic1", toneLevel(kMic1Amp)}, {"mic2", toneLevel(kMic2Amp)}};
  for (const auto& s : samples) {
    SCOPED_TRACE(s.dump());
    const double want = expected[s["id"]];
    EXPECT_NEAR(s["peakRms"].get<double>(), want, 0.1 * want);
    EXPECT_GT(s["rms"].get<double>(), 0.25 * want);
    EXPECT_LT(s["rms"].get<double>(), 1.1 * want);
    EXPECT_FALSE(s.contains("error"));
  }
  ASSERT_NO_FATAL_FAILURE(stopCleanly());
}

TEST_F(MicActivityTest, SamplingTheStreamedMicrophoneLeavesItsFramesWhole) {
  TonePlayer tone("mic1", kMic1Hz, kMic1Amp);
  ASSERT_NO_FATAL_FAILURE(startStreaming());
  ASSERT_TRUE(waitForTone(kMic, kMic1Hz, kMic1Amp, helper->started(), 5));
  const auto before = Clock::now();
  auto report = sampleRunningMics();
  std::this_thread::sleep_for(300ms);
  const auto after = Clock::now();
  // Our own recording makes the microphone run; the report names it as the selected one.
  EXPECT_EQ(report["selectedDeviceId"], "mic1");
  ASSERT_EQ(report["samples"].size(), 1u) << report.dump();
  EXPECT_NEAR(report["samples"][0]["rms"].get<double>(), toneLevel(kMic1Amp), 0.1 * toneLevel(kMic1Amp));

  auto frames = framesOf(helper->frames(), kMic);
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(firstSequenceBreak(frames), frames.size());
  size_t during = 0;
  for (const auto& f : frames) {
    if (f.received < before || f.received >= after) continue;
    ++during;
    EXPECT_TRUE(carriesTone(f, kMic1Hz, kMic1Amp)) << "frame " << f.sequence;
  }
  EXPECT_GE(during, 20u);
  ASSERT_NO_FATAL_FAILURE(stopCleanly());
}

}  // namespace
}  // namespace qb::e2e
