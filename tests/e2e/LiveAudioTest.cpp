// The built helper streaming live audio from the private sound server: tones played into
// its sinks and microphones must come out of the right channel at the right level, and
// keep coming when devices are switched, removed, taken away or the server restarts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <thread>

#include "e2e/support/LiveAudioFixture.hpp"
#include "linux/PulseTestEnv.hpp"

namespace qb::e2e {
namespace {

using namespace std::chrono_literals;
using qbtools::Frame;
using qbtools::Line;
using Clock = std::chrono::steady_clock;

// Every tone is a multiple of 50 Hz (whole cycles in a 20 ms frame) with its own level,
// so a frame tells which tone it carries.
constexpr double kSpeakersHz = 1000, kSpeakersAmp = 0.5;
constexpr double kHeadsetHz = 1500, kHeadsetAmp = 0.4;
constexpr double kMic1Hz = 600, kMic1Amp = 0.25;
constexpr double kMic2Hz = 850, kMic2Amp = 0.35;

// Frames of a channel from the one with this sequence number on.
std::vector<Frame> framesFrom(const std::vector<Frame>& all, uint8_t type, uint32_t sequence) {
  std::vector<Frame> out;
  for (const auto& f : framesOf(all, type))
    if (f.sequence >= sequence) out.push_back(f);
  return out;
}

// Frames of a channel received in [from, to).
std::vector<Frame> framesBetween(const std::vector<Frame>& all, uint8_t type, Clock::time_point from,
                                 Clock::time_point to) {
  std::vector<Frame> out;
  for (const auto& f : framesOf(all, type, from))
    if (f.received < to) out.push_back(f);
  return out;
}

void expectContiguousFromZero(const std::vector<Frame>& frames, const char* channel) {
  ASSERT_FALSE(frames.empty()) << channel;
  EXPECT_EQ(frames.front().sequence, 0u) << channel;
  size_t brk = firstSequenceBreak(frames);
  EXPECT_EQ(brk, frames.size()) << channel << ": sequence " << frames[brk - 1].sequence << " followed by "
                                << (brk < frames.size() ? frames[brk].sequence : 0);
}

TEST_F(LiveAudioTest, TonesArriveAtTheirLevelsOnTheirOwnChannels) {
  TonePlayer speakers("speakers", kSpeakersHz, kSpeakersAmp);
  TonePlayer mic("mic1", kMic1Hz, kMic1Amp);
  ASSERT_NO_FATAL_FAILURE(startStreaming());
  auto start = helper->started();
  ASSERT_TRUE(waitForTone(kSystem, kSpeakersHz, kSpeakersAmp, start, 5)) << "speakers tone not in system frames";
  ASSERT_TRUE(waitForTone(kMic, kMic1Hz, kMic1Amp, start, 5)) << "mic1 tone not in mic frames";

  // Three seconds of steady state.
  auto from = Clock::now();
  std::this_thread::sleep_for(3s);
  auto to = Clock::now();
  auto all = helper->frames();
  ASSERT_NO_FATAL_FAILURE(stopCleanly());

  struct Expect {
    uint8_t type;
    const char* name;
    double hz, amp, otherHz;
  };
  for (const Expect& e : {Expect{kSystem, "system", kSpeakersHz, kSpeakersAmp, kMic1Hz},
                          Expect{kMic, "mic", kMic1Hz, kMic1Amp, kSpeakersHz}}) {
    SCOPED_TRACE(e.name);
    auto channel = framesOf(all, e.type);
    expectContiguousFromZero(channel, e.name);
    for (const auto& f : channel) {
      ASSERT_EQ(f.sampleRate, 48000);
      ASSERT_EQ(f.channels, 2);
      ASSERT_EQ(f.bitsPerSample, 16);
      ASSERT_EQ(f.payloadLength, 3840u);
      // The level field is the payload's RMS, truncated to 16 bits.
      ASSERT_NEAR(f.levelValue(), payloadLevel(f), 2.0 / 65535);
    }
    auto window = framesBetween(all, e.type, from, to);
    // 50 frames a second, written in bursts every 100 ms: a burst more or less at each end.
    EXPECT_NEAR(double(window.size()), 50 * secondsBetween(from, to), 11);
    ASSERT_FALSE(window.empty());
    for (const auto& f : window) {
      ASSERT_NEAR(f.levelValue(), toneLevel(e.amp), 0.02 * toneLevel(e.amp)) << "frame " << f.sequence;
      ASSERT_NEAR(toneAmplitude(f, e.otherHz), 0, 0.005) << "the other channel's tone leaked into frame " << f.sequence;
    }
    EXPECT_NEAR(toneFrequency(window), e.hz, e.hz * 0.005);
  }
}

TEST_F(LiveAudioTest, MicrophoneFollowsTheDefaultSource) {
  TonePlayer mic1("mic1", kMic1Hz, kMic1Amp);
  TonePlayer mic2("mic2", kMic2Hz, kMic2Amp);
  ASSERT_NO_FATAL_FAILURE(startStreaming());
  ASSERT_TRUE(waitForTone(kMic, kMic1Hz, kMic1Amp, helper->started(), 5));

  uint64_t from = helper->lineCount();
  auto switched = Clock::now();
  ASSERT_TRUE(pactl({"set-default-source", "mic2"}).ok());
  auto using2 = waitForText("[Swift Mic] Using device: Test Microphone 2", 3, from);
  ASSERT_TRUE(using2) << "the microphone did not move to mic2";
  EXPECT_LT(secondsBetween(switched, using2->received), 1.0);
  auto heard = waitForTone(kMic, kMic2Hz, kMic2Amp, switched, 3);
  ASSERT_TRUE(heard) << "mic2's tone did not reach the mic frames";
  EXPECT_LT(secondsBetween(switched, heard->received), 1.5);
  std::this_thread::sleep_for(300ms);

  auto all = helper->frames();
  ASSERT_NO_FATAL_FAILURE(stopCleanly());
  auto mic = framesOf(all, kMic);
  expectContiguousFromZero(mic, "mic");
  // Once mic2 is heard, only mic2 is heard.
  auto after = framesFrom(all, kMic, heard->sequence);
  ASSERT_GE(after.size(), 10u);
  for (const auto& f : after) {
    EXPECT_TRUE(carriesTone(f, kMic2Hz, kMic2Amp)) << "frame " << f.sequence;
    EXPECT_NEAR(toneAmplitude(f, kMic1Hz), 0, 0.01) << "frame " << f.sequence;
  }
  EXPECT_NEAR(toneFrequency(after), kMic2Hz, kMic2Hz * 0.005);
  // The system channel was not disturbed.
  EXPECT_EQ(firstSequenceBreak(framesOf(all, kSystem)), framesOf(all, kSystem).size());
}

TEST_F(LiveAudioTest, AChosenMicrophoneIsRecordedUntilItGoesAndThenTheDefault) {
  TonePlayer mic1("mic1", kMic1Hz, kMic1Amp);
  TonePlayer mic2("mic2", kMic2Hz, kMic2Amp);
  helper = std::make_unique<qbtools::HelperProcess>(defaultOptions());
  uint64_t from = helper->lineCount();
  ASSERT_TRUE(helper->send(R"(START_STREAMING:{"micDeviceId":"mic2"})"));
  ASSERT_TRUE(helper->waitForResponse("STREAMING:started", kAnswerTimeout, from));
  auto heard2 = waitForTone(kMic, kMic2Hz, kMic2Amp, helper->started(), 5);
  ASSERT_TRUE(heard2) << "mic2, not the default mic1, must be recorded";

  auto module = sourceModule("mic2");
  ASSERT_TRUE(module);
  from = helper->lineCount();
  auto removed = Clock::now();
  ASSERT_TRUE(pactl({"unload-module", std::to_string(*module)}).ok());
  auto event =
      helper->waitForLine([](const Line& l) { return l.text.starts_with("EVENT:MIC_DEVICE_FALLBACK:"); }, 5, from);
  ASSERT_TRUE(event);
  EXPECT_EQ(
      nlohmann::json::parse(event->text.substr(26), nullptr, false),
      nlohmann::json::parse(R"({"deviceId":"mic2","defaultDeviceId":"mic1","defaultDeviceName":"Test Microphone 1"})"));
  auto heard1 = waitForTone(kMic, kMic1Hz, kMic1Amp, removed, 5);
  ASSERT_TRUE(heard1) << "capture did not go on from the default microphone";
  std::printf("mic1 heard %.2f s after mic2 was removed\n", secondsBetween(removed, heard1->received));

  auto all = helper->frames();
  ASSERT_NO_FATAL_FAILURE(stopCleanly());
  for (const auto& f : framesFrom(all, kMic, heard2->sequence)) {
    if (f.received >= removed) break;
    ASSERT_NEAR(toneAmplitude(f, kMic1Hz), 0, 0.01) << "the default's tone in frame " << f.sequence;
  }
  for (const auto& f : framesFrom(all, kMic, heard1->sequence))
    ASSERT_TRUE(carriesTone(f, kMic1Hz, kMic1Amp)) << "frame " << f.sequence;
  EXPECT_EQ(firstSequenceBreak(framesOf(all, kMic)), framesOf(all, kMic).size());
}

// A host that stops reading standard error must not stall capture: its pipe fills with
// the command loop's lines, and then a device switch makes the microphone's threads
// talk. They hand their lines over and go on; nothing said is lost or reordered.
TEST_F(LiveAudioTest, AHostThatStopsReadingStandardErrorStallsNoCapture) {
  TonePlayer mic2("mic2", kMic2Hz, kMic2Amp);
  ASSERT_NO_FATAL_FAILURE(startStreaming());
  ASSERT_TRUE(helper->waitForFrames(10, 5, [](const Frame& f) { return f.type == kMic; }));
  helper->holdReading(false, true);
  constexpr int kCommands = 3000;  // about 200 kB of lines: three times what the pipe holds
  std::string flood;
  for (int i = 0; i < kCommands; ++i) flood += "NOT_A_COMMAND_" + std::to_string(i) + "\n";
  ASSERT_TRUE(helper->sendRaw(flood + "HEALTH_CHECK\n"));
  std::this_thread::sleep_for(500ms);
  auto switched = Clock::now();
  ASSERT_TRUE(pactl({"set-default-source", "mic2"}).ok());
  auto heard = waitForTone(kMic, kMic2Hz, kMic2Amp, switched, 5);
  EXPECT_TRUE(heard) << "the microphone stalled while standard error was not read";
  std::this_thread::sleep_for(2s);
  auto held = framesBetween(helper->frames(), kMic, switched, Clock::now());
  EXPECT_GT(held.size(), 2 * 50u) << "microphone frames while standard error was not read";

  helper->holdReading(false, false);
  ASSERT_TRUE(helper->waitForResponsePrefix("HEALTH_OK:", kAnswerTimeout));
  ASSERT_TRUE(waitForText("[Swift Mic] Using device: Test Microphone 2", kAnswerTimeout));
  int next = 0;
  for (const auto& l : helper->lines()) {
    if (l.text.starts_with("Unknown command: NOT_A_COMMAND_")) {
      ASSERT_EQ(l.text, "Unknown command: NOT_A_COMMAND_" + std::to_string(next++));
    }
  }
  EXPECT_EQ(next, kCommands);
  ASSERT_NO_FATAL_FAILURE(stopCleanly());
}

TEST_F(LiveAudioTest, SystemAudioFollowsTheDefaultSink) {
  TonePlayer speakers("speakers", kSpeakersHz, kSpeakersAmp);
  TonePlayer headset("headset", kHeadsetHz, kHeadsetAmp);
  ASSERT_NO_FATAL_FAILURE(startStreaming());
  ASSERT_TRUE(waitForTone(kSystem, kSpeakersHz, kSpeakersAmp, helper->started(), 5));

  auto switched = Clock::now();
  ASSERT_TRUE(pactl({"set-default-sink", "headset"}).ok());
  auto heard = waitForTone(kSystem, kHeadsetHz, kHeadsetAmp, switched, 3);
  ASSERT_TRUE(heard) << "the headset's tone did not reach the system frames";
  EXPECT_LT(secondsBetween(switched, heard->received), 1.5);
  std::this_thread::sleep_for(300ms);

  auto all = helper->frames();
  ASSERT_NO_FATAL_FAILURE(stopCleanly());
  expectContiguousFromZero(framesOf(all, kSystem), "system");
  auto after = framesFrom(all, kSystem, heard->sequence);
  ASSERT_GE(after.size(), 10u);
  // (The server moves the speakers' tone along to the new default, so only the headset's
  // own tone tells which output is recorded.)
  for (const auto& f : after) EXPECT_TRUE(carriesTone(f, kHeadsetHz, kHeadsetAmp)) << "frame " << f.sequence;
}

TEST_F(LiveAudioTest, ChannelsAndTheMonitorStartedWithoutAServerStartWhenItComes) {
  auto killed = testEnv({"kill-pulse"});
  ASSERT_TRUE(killed.ok()) << killed.output;
  ASSERT_NO_FATAL_FAILURE(startStreaming());
  ASSERT_TRUE(helper->send("START_MIC_MONITORING"));
  ASSERT_TRUE(helper->waitForResponse("MIC_MONITORING:started", kAnswerTimeout));
  auto withPrefix = [&](const std::string& prefix, double timeout) {
    return helper->waitForLine([&](const Line& l) { return l.text.starts_with(prefix); }, timeout);
  };
  const char* downs[] = {
      "EVENT:MICROPHONE_START_FAILED:", "EVENT:SYSTEM_AUDIO_START_FAILED:", "EVENT:MIC_MONITORING_UNAVAILABLE:"};
  const char* ups[] = {"EVENT:MICROPHONE_RESUMED", "EVENT:SYSTEM_AUDIO_RESUMED", "EVENT:MIC_MONITORING_RESUMED"};
  for (const char* down : downs) ASSERT_TRUE(withPrefix(down, kAnswerTimeout)) << down;

  auto started = testEnv({"start-pulse"});
  ASSERT_TRUE(started.ok()) << started.output;
  const auto back = Clock::now();
  TonePlayer speakers("speakers", kSpeakersHz, kSpeakersAmp);
  TonePlayer mic("mic1", kMic1Hz, kMic1Amp);
  for (const char* up : ups) {
    auto line = withPrefix(up, 10);
    ASSERT_TRUE(line) << up;
    std::printf("%s %.2f s after the server started\n", up, secondsBetween(back, line->received));
  }
  EXPECT_TRUE(waitForTone(kSystem, kSpeakersHz, kSpeakersAmp, back, 10)) << "no system audio";
  EXPECT_TRUE(waitForTone(kMic, kMic1Hz, kMic1Amp, back, 10)) << "no microphone audio";
  EXPECT_TRUE(withPrefix("MIC_EVENT:", 5)) << "the monitor reported nothing";
  ASSERT_NO_FATAL_FAILURE(stopCleanly());
  const auto lines = helper->lines();
  auto count = [&](std::string_view prefix) {
    return std::count_if(lines.begin(), lines.end(), [&](const Line& l) { return l.text.starts_with(prefix); });
  };
  for (const char* once : downs) EXPECT_EQ(count(once), 1) << once;
  for (const char* once : ups) EXPECT_EQ(count(once), 1) << once;
  EXPECT_EQ(count("EVENT:MICROPHONE_STOPPED") + count("EVENT:SYSTEM_AUDIO_STOPPED"), 0);
}

// Every time the server is back, the microphone restarts its session after a short debounce;
// the server goes away again inside that restart (frozen, so that the restart waits on it,
// then killed). A start cut so is an interruption: both channels come back after every drop.
TEST_F(LiveAudioTest, BothChannelsComeBackAfterEveryDropAlsoInsideTheMicrophonesRestart) {
  const std::string resumed = "[Swift Mic] Session interruption ended - resuming if active";
  const std::string restarting = "[Swift Mic] Default device changed, reconfiguring (wasActive=true)...";
  ASSERT_NO_FATAL_FAILURE(startStreaming());
  // A new level after every drop, so that only audio recorded since matches.
  for (double amplitude : {0.25, 0.3, 0.35, 0.4}) {
    SCOPED_TRACE(amplitude);
    auto since = Clock::now();
    TonePlayer speakers("speakers", kSpeakersHz, amplitude);
    TonePlayer mic("mic1", kMic1Hz, amplitude);
    ASSERT_TRUE(waitForTone(kSystem, kSpeakersHz, amplitude, since, 10)) << "system audio did not come back";
    ASSERT_TRUE(waitForTone(kMic, kMic1Hz, amplitude, since, 10)) << "the microphone did not come back";
    if (amplitude == 0.4) break;
    const uint64_t from = helper->lineCount();
    auto restart = testEnv({"restart-pulse"});
    ASSERT_TRUE(restart.ok()) << restart.output;
    const size_t named = restart.output.rfind("(pid ");
    const pid_t server = named == std::string::npos ? 0 : std::atoi(restart.output.c_str() + named + 5);
    ASSERT_GT(server, 0) << restart.output;
    // The session's own stream is back a moment after the server, the restart due 0.3 s later.
    auto back = helper->waitForLine([&](const Line& l) { return l.text == resumed || l.text == restarting; }, 10, from);
    ASSERT_TRUE(back) << "the microphone's session did not come back with the server";
    ASSERT_EQ(::kill(server, SIGSTOP), 0);
    waitForText(restarting, 2, back->index);
    restart = testEnv({"restart-pulse"});
    ASSERT_TRUE(restart.ok()) << restart.output;
  }
  // And they stay back, their frames numbered on as if nothing happened.
  auto from = Clock::now();
  std::this_thread::sleep_for(1s);
  auto all = helper->frames();
  ASSERT_NO_FATAL_FAILURE(stopCleanly());
  for (uint8_t type : {kSystem, kMic}) {
    const char* name = type == kSystem ? "system" : "mic";
    expectContiguousFromZero(framesOf(all, type), name);
    EXPECT_NEAR(double(framesBetween(all, type, from, from + 1s).size()), 50, 11) << name;
  }
  const auto lines = helper->lines();
  auto count = [&](std::string_view prefix) {
    return std::count_if(lines.begin(), lines.end(), [&](const Line& l) { return l.text.starts_with(prefix); });
  };
  // (A restart that finds no default microphone, as PipeWire names it a moment after its
  // start, stops the microphone until it is named.)
  EXPECT_EQ(count("EVENT:MICROPHONE_STOPPED"), count("EVENT:MICROPHONE_RESUMED")) << "a stop never resumed";
  const auto cut = count("[Swift Mic] Session start interrupted: sound server unavailable");
  std::printf("%ld of 3 drops came inside the microphone's restart\n", long(cut));
  EXPECT_GE(cut, 1) << "no drop came inside the microphone's restart";
}

TEST_F(LiveAudioTest, RecordingKilledByAnotherClientIsReclaimed) {
  TonePlayer speakers("speakers", kSpeakersHz, kSpeakersAmp);
  ASSERT_NO_FATAL_FAILURE(startStreaming());
  ASSERT_TRUE(waitForTone(kSystem, kSpeakersHz, kSpeakersAmp, helper->started(), 5));
  // The microphone's rate is judged across the kill, so it must be flowing before it.
  ASSERT_TRUE(helper->waitForFrames(10, 5, [](const Frame& f) { return f.type == kMic; }));

  std::optional<uint32_t> ours;
  for (const auto& o : sourceOutputs())
    if (o.pid == helper->pid() && o.mediaName == "Quellbrook system audio") ours = o.index;
  ASSERT_TRUE(ours) << "no system audio recording of the helper on the server";
  uint64_t from = helper->lineCount();
  auto killed = Clock::now();
  ASSERT_TRUE(testenv::killSourceOutput(int(*ours)));

  auto contention = waitForText("EVENT:SYSTEM_AUDIO_CONTENTION:-3805", 3, from);
  ASSERT_TRUE(contention);
  auto resolved = waitForText("EVENT:SYSTEM_AUDIO_CONTENTION_RESOLVED", 5, contention->index);
  ASSERT_TRUE(resolved);
  auto heard = waitForTone(kSystem, kSpeakersHz, kSpeakersAmp, resolved->received, 3);
  ASSERT_TRUE(heard) << "system frames did not continue after the contention";
  std::printf("contention resolved %.2f s after the kill\n", secondsBetween(killed, resolved->received));

  // The new recording is ours, on the same output.
  size_t recordings = 0;
  for (const auto& o : sourceOutputs())
    if (o.pid == helper->pid() && o.mediaName == "Quellbrook system audio") ++recordings;
  EXPECT_EQ(recordings, 1u);

  auto all = helper->frames();
  ASSERT_NO_FATAL_FAILURE(stopCleanly());
  expectContiguousFromZero(framesOf(all, kSystem), "system");
  // The microphone was not disturbed: it kept its pace, give or take the five frames of one
  // 100 ms burst at either end of the window.
  expectContiguousFromZero(framesOf(all, kMic), "mic");
  EXPECT_GE(framesBetween(all, kMic, killed, heard->received).size() + 5,
            size_t(40 * secondsBetween(killed, heard->received)));
}

TEST_F(LiveAudioTest, RemovedOutputIsReplacedAndMicrophoneAudioNeverReachesTheSystemChannel) {
  TonePlayer mic("mic1", kMic1Hz, kMic1Amp);
  auto speakersModule = sinkModule("speakers");
  ASSERT_TRUE(speakersModule);
  ASSERT_NO_FATAL_FAILURE(startStreaming());
  {
    TonePlayer speakers("speakers", kSpeakersHz, kSpeakersAmp);
    ASSERT_TRUE(waitForTone(kSystem, kSpeakersHz, kSpeakersAmp, helper->started(), 5));
    ASSERT_TRUE(waitForTone(kMic, kMic1Hz, kMic1Amp, helper->started(), 5));
  }
  // Quiet speakers first, so that nothing played before the removal is in the way.
  auto quiet = Clock::now();
  ASSERT_TRUE(helper->waitForFrames(10, 3, [&](const Frame& f) {
    return f.type == kSystem && f.received > quiet + 200ms && payloadLevel(f) < 0.001;
  }));

  uint64_t from = helper->lineCount();
  auto removed = Clock::now();
  ASSERT_TRUE(pactl({"unload-module", std::to_string(*speakersModule)}).ok());
  std::string next = defaultSink();
  ASSERT_THAT(next, ::testing::AnyOf("headset", "mic2_feed")) << "the server chose another default output";
  // A tone into the new default output must come through; mic1 keeps playing throughout.
  std::this_thread::sleep_for(1s);
  TonePlayer newOutput(next, kHeadsetHz, kHeadsetAmp);
  auto heard = waitForTone(kSystem, kHeadsetHz, kHeadsetAmp, removed, 8);
  ASSERT_TRUE(heard) << "system audio did not continue from the new default output " << next;
  std::printf("system audio from %s %.2f s after the removal\n", next.c_str(),
              secondsBetween(removed, heard->received));
  std::this_thread::sleep_for(500ms);

  auto all = helper->frames();
  auto lines = helper->lines();
  ASSERT_NO_FATAL_FAILURE(stopCleanly());
  auto system = framesOf(all, kSystem, removed);
  ASSERT_FALSE(system.empty());
  for (const auto& f : system)
    ASSERT_LT(toneAmplitude(f, kMic1Hz), 0.01) << "microphone audio in system frame " << f.sequence;
  for (const auto& f : framesOf(all, kMic, removed))
    ASSERT_TRUE(carriesTone(f, kMic1Hz, kMic1Amp)) << "mic frame " << f.sequence;
  expectContiguousFromZero(framesOf(all, kSystem), "system");
  expectContiguousFromZero(framesOf(all, kMic), "mic");
  for (size_t i = from; i < lines.size(); ++i)
    if (lines[i].kind == qbtools::LineKind::event || lines[i].text.rfind("SoundServer:", 0) == 0)
      std::printf("after the removal: %s\n", lines[i].text.c_str());
}

TEST_F(LiveAudioTest, DeviceQueriesNameTheServersMicrophones) {
  helper = std::make_unique<qbtools::HelperProcess>(defaultOptions());
  auto ask = [&](const std::string& command, const std::string& prefix) -> std::string {
    uint64_t from = helper->lineCount();
    EXPECT_TRUE(helper->send(command));
    auto line = helper->waitForResponsePrefix(prefix, kAnswerTimeout, from);
    EXPECT_TRUE(line) << "no answer to " << command;
    return line ? line->body : std::string();
  };

  auto list = nlohmann::json::parse(ask("LIST_DEVICES", "DEVICES_LIST:").substr(13), nullptr, false);
  ASSERT_TRUE(list.is_array());
  EXPECT_EQ(list, nlohmann::json::parse(R"([{"id":"mic1","name":"Test Microphone 1","type":"input"},
                                            {"id":"mic2","name":"Test Microphone 2","type":"input"}])"))
      << "monitors are not microphones";
  EXPECT_EQ(ask("GET_CURRENT_MIC", "CURRENT_MIC:"), "CURRENT_MIC:Test Microphone 1");

  // Without streaming there is no microphone to diagnose.
  uint64_t from = helper->lineCount();
  ASSERT_TRUE(helper->send("GET_DEVICE_DIAGNOSTIC"));
  ASSERT_TRUE(waitForText("EVENT:DEVICE_DIAGNOSTIC_REQUESTED", kAnswerTimeout, from));
  EXPECT_TRUE(waitForText("Device diagnostic requested but no active MicrophoneSource", 1, from));

  // Streaming mic1 while another client records mic2.
  TonePlayer tone("mic1", kMic1Hz, kMic1Amp);
  ChildGuard other({"parec", "--device=mic2", "--client-name=qb-e2e-other-recorder"});
  ASSERT_NO_FATAL_FAILURE(startStreaming());
  ASSERT_TRUE(waitForTone(kMic, kMic1Hz, kMic1Amp, helper->started(), 5, 50));
  from = helper->lineCount();
  ASSERT_TRUE(helper->send("GET_DEVICE_DIAGNOSTIC:level check"));
  auto report =
      helper->waitForLine([](const Line& l) { return l.kind == qbtools::LineKind::deviceDiagnostic; }, 5, from);
  ASSERT_TRUE(report);
  EXPECT_TRUE(waitForText("EVENT:DEVICE_DIAGNOSTIC_REQUESTED", kAnswerTimeout, report->index));
  auto d = nlohmann::json::parse(report->body, nullptr, false);
  ASSERT_TRUE(d.is_object()) << report->body;
  EXPECT_EQ(d["event"], "capture_problem");
  EXPECT_EQ(d["reason"], "level check");
  EXPECT_EQ(d["selectedDevice"]["id"], "mic1");
  EXPECT_EQ(d["selectedDevice"]["name"], "Test Microphone 1");
  // The level is averaged over every buffer since the start, also those from before the
  // tone reached the microphone: compare with the frames of the same time. Buffers count
  // alike whatever their length, and the server now and then hands over a fragment of a
  // few samples whose level says little, hence the margin.
  double frameLevels = 0;
  auto micFrames = framesBetween(helper->frames(), kMic, helper->started(), report->received);
  for (const auto& f : micFrames) frameLevels += payloadLevel(f);
  ASSERT_FALSE(micFrames.empty());
  frameLevels /= double(micFrames.size());
  EXPECT_GT(frameLevels, 0.5 * toneLevel(kMic1Amp));
  EXPECT_NEAR(d["selectedDevice"].value("rms", 0.0), frameLevels, 0.08 * frameLevels);
  EXPECT_GT(d["selectedDevice"].value("framesReceived", 0), 0);
  EXPECT_FALSE(d.contains("driftDetected"));
  EXPECT_EQ(d["allInputDevices"], nlohmann::json::parse(R"([
      {"id":"mic1","name":"Test Microphone 1","isDefault":true,"isRunning":true},
      {"id":"mic2","name":"Test Microphone 2","isDefault":false,"isRunning":true}])"));
  EXPECT_EQ(d["otherRunningDevices"], nlohmann::json::parse(R"([
      {"id":"mic2","name":"Test Microphone 2","isDefault":false,"isRunning":true}])"));

  // The start report named the device too.
  bool startReport = false;
  for (const auto& l : helper->linesOfKind(qbtools::LineKind::deviceDiagnostic)) {
    auto j = nlohmann::json::parse(l.body, nullptr, false);
    if (j.is_object() && j["event"] == "capture_start") {
      startReport = true;
      EXPECT_EQ(j["selectedDevice"], nlohmann::json::parse(R"({"id":"mic1","name":"Test Microphone 1"})"));
    }
  }
  EXPECT_TRUE(startReport);
  ASSERT_NO_FATAL_FAILURE(stopCleanly());
}

}  // namespace
}  // namespace qb::e2e
