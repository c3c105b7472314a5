#include "host/CommandLoop.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "CommandAnswers.hpp"
#include "HostTestSupport.hpp"
#include "ProtocolReader.hpp"
#include "platform/sim/SimPlatform.hpp"
#include "runtime/ManualExecutor.hpp"
#include "sources/MicrophoneSource.hpp"
#include "sources/WavTestFiles.hpp"

using namespace qb;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

// Shared record of what the fakes were asked to do, with the virtual time.
struct CallLog {
  ManualExecutor* executor = nullptr;
  std::vector<std::string> calls;
  std::vector<double> times;
  void add(std::string call) {
    calls.push_back(std::move(call));
    times.push_back(executor->elapsed());
  }
};

class FakeVideo final : public VideoSource {
 public:
  FakeVideo(CallLog& log, VideoFormat format) : log_(log), format_(format) {}
  std::optional<ScreenVideoError> start(const VideoTarget& target) override {
    log_.add("video.start " + target.type + " " + std::to_string(target.id));
    if (startError) return startError;
    active = true;
    return std::nullopt;
  }
  std::optional<ScreenVideoError> switchTarget(const VideoTarget& target) override {
    log_.add("video.switch " + target.type + " " + std::to_string(target.id));
    return switchError;
  }
  void stop() override {
    log_.add("video.stop");
    active = false;
  }
  bool isActive() const override { return active; }

  bool active = false;
  std::optional<ScreenVideoError> startError, switchError;
  const VideoFormat& format() const { return format_; }

 private:
  CallLog& log_;
  VideoFormat format_;
};

class FakeMonitoring final : public MonitoringService {
 public:
  FakeMonitoring(CallLog& log, std::string name) : log_(log), name_(std::move(name)) {}
  void startMonitoring() override { log_.add(name_ + ".start"); }
  void stopMonitoring() override { log_.add(name_ + ".stop"); }

 private:
  CallLog& log_;
  std::string name_;
};

// Stands in for either channel; as the microphone it also answers the loop's questions.
class FakeAudioSource final : public LiveMicrophone {
 public:
  FakeAudioSource(CallLog& log, std::string id, AudioProtocol::FrameType type)
      : log_(log), id_(std::move(id)), type_(type) {}
  const std::string& sourceID() const override { return id_; }
  AudioProtocol::FrameType frameType() const override { return type_; }
  void setOnAudioData(AudioDataCallback) override {}
  std::optional<SourceError> start() override {
    log_.add(id_ + ".start");
    active_ = true;
    return std::nullopt;
  }
  void stop() override {
    log_.add(id_ + ".stop");
    active_ = false;
  }
  bool isActive() const override { return active_; }
  std::optional<std::string> selectedDeviceID() const override { return id_ + "-device"; }
  void emitCaptureProblemDiagnostic(const std::string& reason) override {
    log_.add(id_ + ".diagnostic " + reason);
    writeStderrLine("DEVICE_DIAGNOSTIC:{}");
  }

 private:
  CallLog& log_;
  std::string id_;
  AudioProtocol::FrameType type_;
  bool active_ = false;
};

// A short canonical 16-bit PCM WAV file of a 440 Hz tone.
qb::testing::TempFile toneWav() {
  std::vector<int16_t> samples;
  for (int i = 0; i < 4800; ++i) samples.insert(samples.end(), 2, int16_t(8000 * std::sin(i * 2 * M_PI * 440 / 48000)));
  return qb::testing::TempFile("loop.wav", qb::testing::makeWav({.data = qb::testing::int16Samples(samples)}));
}

class CommandLoopTest : public ::testing::Test {
 protected:
  CommandLoopTest() { log.executor = &executor; }

  // Runs the loop over `lines` until they run out or STOP ends it.
  void run(std::vector<qbtest::ScriptStep> lines) {
    script = std::make_shared<qbtest::ScriptedLines>(std::move(lines));
    Platform platform = platformOverride.value_or(Platform{});
    platform.executor = &executor;
    loop = std::make_unique<CommandLoop>(
        platform, [this] { return script; },
        [this](int status) {
          exitStatuses.push_back(status);
          log.add("exit");
        },
        services);
    loop->run();
  }

  // Fakes for every service, recording into `log`.
  void useFakeServices() {
    services.makeVideoSource = [this](const VideoFormat& f) {
      auto v = std::make_shared<FakeVideo>(log, f);
      if (nextStartError) v->startError = std::exchange(nextStartError, std::nullopt);
      videos.push_back(v);
      return v;
    };
    services.makeMicrophoneMonitor = [this] { return std::make_shared<FakeMonitoring>(log, "monitor"); };
    services.makeMicAppDetector = [this] { return std::make_shared<FakeMonitoring>(log, "detector"); };
    services.makeMicrophone = [this](const std::optional<std::string>&) {
      return std::make_shared<FakeAudioSource>(log, "mic", AudioProtocol::FrameType::mic);
    };
    services.makeSystemAudio = [this] {
      return std::make_shared<FakeAudioSource>(log, "system", AudioProtocol::FrameType::system);
    };
  }

  ManualExecutor executor;
  qbtest::CapturedOutput out;
  CallLog log;
  CommandServices services;
  std::optional<Platform> platformOverride;  // the loop's platform when set
  std::shared_ptr<qbtest::ScriptedLines> script;
  std::unique_ptr<CommandLoop> loop;
  std::vector<int> exitStatuses;
  std::vector<std::shared_ptr<FakeVideo>> videos;
  std::optional<ScreenVideoError> nextStartError;
};

}  // namespace

TEST_F(CommandLoopTest, EchoesEveryLineAndMatchesWordsInAnyCase) {
  run({"HEALTH_CHECK", "health_check:with argument", "STOP ", "NOPE:x"});
  EXPECT_THAT(out.lines(),
              ElementsAre("runApp() called - helper in IDLE mode", "Helper ready, waiting for commands...",
                          "Received command: HEALTH_CHECK", "CMD_RESPONSE:HEALTH_OK:1800000000.0",
                          "Received command: health_check:with argument", "CMD_RESPONSE:HEALTH_OK:1800000000.0",
                          "Received command: STOP ", "Unknown command: STOP ", "Received command: NOPE:x",
                          "Unknown command: NOPE:x"));
  EXPECT_TRUE(exitStatuses.empty());
  EXPECT_TRUE(out.stdoutBytes().empty());
}

TEST_F(CommandLoopTest, CommandsRunOneAtATimeThroughTheirWaits) {
  auto addHandlers = [this] {
    loop->setHandler("SLOW", [this](const CommandLine& cmd) {
      executor.sleep(2.5);
      sendCommandResponse("SLOW:" + cmd.argument.value_or("-"));
    });
    loop->setHandler("BOOM", [](const CommandLine&) { throw std::runtime_error("kaput"); });
  };
  run({addHandlers, "SLOW:1", "BOOM", "HEALTH_CHECK", "SLOW"});
  EXPECT_THAT(out.responses(), ElementsAre("SLOW:1", "HEALTH_OK:1800000002.5", "SLOW:-"));
  EXPECT_TRUE(out.contains("BOOM failed: kaput"));
}

TEST_F(CommandLoopTest, ServicesNotConnectedYetAnswerAsAbsent) {
  run({"STOP_VIDEO", "STOP_MIC_MONITORING", "START_MIC_MONITORING", "LIST_WINDOWS", "SCREENSHOT", "LIST_DEVICES",
       "GET_CURRENT_MIC", "SAMPLE_RUNNING_MICS:why", "SWITCH_VIDEO:{\"type\":\"window\",\"id\":7}"});
  EXPECT_THAT(out.responses(),
              ElementsAre("STOP_VIDEO:not_active", "MIC_MONITORING:not_active", "SWITCH_VIDEO:error:not_active"));
  for (const char* word : {"START_MIC_MONITORING", "LIST_WINDOWS", "SCREENSHOT", "LIST_DEVICES", "GET_CURRENT_MIC",
                           "SAMPLE_RUNNING_MICS:why"})
    EXPECT_TRUE(out.contains(std::string("Unknown command: ") + word)) << word;
}

TEST_F(CommandLoopTest, StopEndsServicesInOrderThenExitsAfterTheDelay) {
  useFakeServices();
  run({"START_VIDEO", "START_MIC_MONITORING", "START_STREAMING", "STOP", "HEALTH_CHECK"});
  EXPECT_THAT(out.responses(),
              ElementsAre("START_VIDEO:started", "MIC_MONITORING:started", "STREAMING:started", "STOPPED:ok"));
  EXPECT_THAT(log.calls,
              ElementsAre("video.start display 0", "monitor.start", "detector.start", "mic.start", "system.start",
                          "video.stop", "monitor.stop", "detector.stop", "mic.stop", "system.stop", "exit"));
  EXPECT_THAT(exitStatuses, ElementsAre(0));
  EXPECT_NEAR(log.times.back() - log.times[log.times.size() - 2], 0.1, 1e-9);
  EXPECT_EQ(script->remaining(), 1u);  // nothing is taken after STOP
  EXPECT_TRUE(out.contains("Starting streaming mode..."));
  EXPECT_TRUE(out.contains("Stopping all services..."));
}

TEST_F(CommandLoopTest, StopWithNothingRunning) {
  run({"stop:now"});
  EXPECT_THAT(out.responses(), ElementsAre("STOPPED:ok"));
  EXPECT_THAT(log.calls, ElementsAre("exit"));
  EXPECT_NEAR(log.times[0], 0.1, 1e-9);
}

TEST_F(CommandLoopTest, EndOfInputStopsNothing) {
  useFakeServices();
  run({"START_VIDEO", "START_MIC_MONITORING", "START_STREAMING"});
  EXPECT_TRUE(exitStatuses.empty());
  EXPECT_TRUE(script->isShutDown());
  EXPECT_NE(loop->streamer(), nullptr);
  EXPECT_NE(loop->videoSource(), nullptr);
  EXPECT_NE(loop->microphoneMonitor(), nullptr);
  for (const auto& call : log.calls) EXPECT_THAT(call, ::testing::Not(HasSubstr("stop")));
  EXPECT_TRUE(videos.at(0)->active);
}

TEST_F(CommandLoopTest, TestWavStreamsBothChannelsAndOutlivesEndOfInput) {
  const auto wav = toneWav();
  std::string name = std::filesystem::path(wav.path()).filename().string();
  run({"TEST_WAV:" + wav.path(), "START_STREAMING", "TEST_WAV:" + wav.path()});
  EXPECT_THAT(out.responses(), ElementsAre("TEST_WAV:started:" + wav.path(), "STREAMING:already_active",
                                           "TEST_WAV:error:streamer_already_active"));
  auto lines = out.lines();
  auto at = [&](const std::string& l) { return std::find(lines.begin(), lines.end(), l) - lines.begin(); };
  EXPECT_LT(at("TEST_WAV command: path=" + wav.path()), at("Creating WAV file sources from " + name + "..."));
  EXPECT_LT(at("Creating WAV file sources from " + name + "..."),
            at("Creating streamer with injected test sources..."));
  EXPECT_LT(at("Creating streamer with injected test sources..."), at("CMD_RESPONSE:TEST_WAV:started:" + wav.path()));

  // Input has ended; streaming goes on.
  executor.advance(1.0);
  EXPECT_FALSE(out.protocolFailed());
  EXPECT_GT(out.frames(1).size(), 10u);
  EXPECT_GT(out.frames(2).size(), 10u);
}

TEST_F(CommandLoopTest, TestWavErrorsCreateNoStreamer) {
  run({"TEST_WAV:/definitely/missing.wav", "TEST_WAV", "START_STREAMING"});
  auto responses = out.responses();
  ASSERT_EQ(responses.size(), 3u);
  ASSERT_TRUE(responses[0].starts_with("TEST_WAV:error:"));
  std::string description = responses[0].substr(15);
  EXPECT_FALSE(description.empty());
  EXPECT_TRUE(out.contains("TEST_WAV error: " + description));
  EXPECT_TRUE(out.contains("Creating WAV file sources from missing.wav..."));
  EXPECT_TRUE(out.contains("TEST_WAV command: path="));  // no argument: the empty path
  EXPECT_TRUE(responses[1].starts_with("TEST_WAV:error:"));
  EXPECT_EQ(responses[2], "STREAMING:started");
}

TEST_F(CommandLoopTest, StartVideoWithoutScreenCaptureAnswersAnError) {
  run({"START_VIDEO", "STOP_VIDEO"});
  const std::string error = "targetNotFound(\"Screen capture is not available in this build\")";
  EXPECT_THAT(out.responses(), ElementsAre("START_VIDEO:error:" + error, "STOP_VIDEO:not_active"));
  EXPECT_TRUE(out.contains("START_VIDEO error: " + error));
}

TEST_F(CommandLoopTest, StartVideoArgumentsAndLifecycle) {
  useFakeServices();
  run({"START_VIDEO:", "START_VIDEO:[1,2]", "START_VIDEO:{\"fps\":\"30\",\"width\":1280.5,\"height\":720}",
       "START_VIDEO:{\"type\":\"window\",\"id\":9}"});
  auto responses = out.responses();
  ASSERT_EQ(responses.size(), 4u);
  ASSERT_TRUE(responses[0].starts_with("START_VIDEO:error:"));
  EXPECT_TRUE(out.contains("START_VIDEO error: " + responses[0].substr(18)));
  EXPECT_EQ(responses[1], "START_VIDEO:error:invalid_json");
  EXPECT_EQ(responses[2], "START_VIDEO:started");
  EXPECT_EQ(responses[3], "START_VIDEO:error:already_active");
  ASSERT_EQ(videos.size(), 1u);
  EXPECT_EQ(videos[0]->format().fps, 10);
  EXPECT_EQ(videos[0]->format().width, 1920);
  EXPECT_EQ(videos[0]->format().height, 720);
  EXPECT_EQ(videos[0]->format().bitrate, 2000000);
}

TEST_F(CommandLoopTest, DeadVideoSourceIsReplacedAndFailedStartHoldsNothing) {
  useFakeServices();
  auto streamEnds = [this] {
    videos[0]->active = false;  // its stream ended on its own
    nextStartError = VideoSourceError::targetNotFound("Window 9 not found");
  };
  run({"START_VIDEO", streamEnds, "START_VIDEO:{\"type\":\"window\",\"id\":9}", "STOP_VIDEO", "START_VIDEO"});
  EXPECT_THAT(out.responses(),
              ElementsAre("START_VIDEO:started", "START_VIDEO:error:targetNotFound(\"Window 9 not found\")",
                          "STOP_VIDEO:not_active", "START_VIDEO:started"));
  EXPECT_TRUE(out.contains("ScreenVideoSource: cleaning up dead video source before restart"));
  EXPECT_TRUE(out.contains("START_VIDEO error: targetNotFound(\"Window 9 not found\")"));
  EXPECT_THAT(log.calls, ElementsAre("video.start display 0", "video.start window 9", "video.start display 0"));
}

// The argument checks themselves are VideoArguments' table; here, what the loop adds.
TEST_F(CommandLoopTest, SwitchVideoChecksThenForwards) {
  useFakeServices();
  run({"SWITCH_VIDEO:{\"type\":\"window\",\"id\":7}", "START_VIDEO", "SWITCH_VIDEO:{\"type\":\"screen\",\"id\":7}",
       "SWITCH_VIDEO:{\"type\":\"window\",\"id\":7}",
       [this] {
         videos[0]->switchError = VideoSourceError::targetNotFound("Window 8 not found");
         videos[0]->active = false;  // an inactive source is still switched
       },
       "SWITCH_VIDEO:{\"type\":\"window\",\"id\":8}", "STOP_VIDEO"});
  EXPECT_THAT(out.responses(),
              ElementsAre("SWITCH_VIDEO:error:not_active", "START_VIDEO:started",
                          "SWITCH_VIDEO:error:invalid_target_type", "SWITCH_VIDEO:switched",
                          "SWITCH_VIDEO:error:targetNotFound(\"Window 8 not found\")", "STOP_VIDEO:stopped"));
  EXPECT_TRUE(out.contains("SWITCH_VIDEO error: targetNotFound(\"Window 8 not found\")"));
  EXPECT_THAT(log.calls,
              ElementsAre("video.start display 0", "video.switch window 7", "video.switch window 8", "video.stop"));
}

TEST_F(CommandLoopTest, MicMonitoringStartsAndStopsTheTwoTogether) {
  useFakeServices();
  run({"START_MIC_MONITORING", "START_MIC_MONITORING", "STOP_MIC_MONITORING", "STOP_MIC_MONITORING"});
  EXPECT_THAT(out.responses(), ElementsAre("MIC_MONITORING:started", "MIC_MONITORING:already_active",
                                           "MIC_MONITORING:stopped", "MIC_MONITORING:not_active"));
  EXPECT_THAT(log.calls, ElementsAre("monitor.start", "detector.start", "monitor.stop", "detector.stop"));
  EXPECT_TRUE(out.contains("Starting mic monitoring..."));
  EXPECT_TRUE(out.contains("Stopping mic monitoring..."));
}

TEST_F(CommandLoopTest, DeviceDiagnosticAsksTheStreamersMicrophone) {
  useFakeServices();
  run({"GET_DEVICE_DIAGNOSTIC", "START_STREAMING", "GET_DEVICE_DIAGNOSTIC:user"});
  EXPECT_THAT(log.calls, ::testing::Contains("mic.diagnostic user"));
  auto lines = out.lines();
  auto first = std::find(lines.begin(), lines.end(), "Device diagnostic requested but no active MicrophoneSource");
  ASSERT_NE(first, lines.end());
  EXPECT_EQ(*(first + 1), "EVENT:DEVICE_DIAGNOSTIC_REQUESTED");
  // The report comes before the log line and the event.
  auto report = std::find(lines.begin(), lines.end(), "DEVICE_DIAGNOSTIC:{}");
  ASSERT_LT(report - lines.begin() + 2, std::ssize(lines));
  EXPECT_EQ(*(report + 1), "Device diagnostic requested: reason=user");
  EXPECT_EQ(*(report + 2), "EVENT:DEVICE_DIAGNOSTIC_REQUESTED");
  EXPECT_THAT(out.responses(), ElementsAre("STREAMING:started"));
}

// The reference tools wait for each command's answer from one table; a command answered
// by a line the table does not name would stall them (GET_DEVICE_DIAGNOSTIC answers with
// an event, not a command response).
TEST_F(CommandLoopTest, EveryCommandIsAnsweredByTheLineTheToolsWaitFor) {
  useFakeServices();
  const std::vector<std::string> commands = {"HEALTH_CHECK",
                                             "start_streaming",
                                             "TEST_WAV:/nowhere.wav",
                                             "GET_DEVICE_DIAGNOSTIC",
                                             "START_MIC_MONITORING",
                                             "STOP_MIC_MONITORING",
                                             "START_VIDEO",
                                             "SWITCH_VIDEO:{\"type\":\"display\",\"id\":1}",
                                             "STOP_VIDEO",
                                             "TEST_MIC_TAP",
                                             "STOP"};
  run(std::vector<qbtest::ScriptStep>(commands.begin(), commands.end()));
  auto lines = out.lines();
  for (const auto& command : commands) {
    auto answer = qbtools::expectedAnswer(command);
    ASSERT_TRUE(answer) << command;
    auto echo = std::find(lines.begin(), lines.end(), "Received command: " + command);
    ASSERT_NE(echo, lines.end()) << command;
    auto next = std::find_if(echo + 1, lines.end(), [](const std::string& l) { return l.starts_with("Received"); });
    bool answered = std::any_of(echo + 1, next,
                                [&](const std::string& l) { return answer->answeredBy(qbtools::makeLine(l, 0, {})); });
    EXPECT_TRUE(answered) << command;
  }
  EXPECT_FALSE(qbtools::expectedAnswer("GET_DEVICE_DIAGNOSTIC")
                   ->answeredBy(qbtools::makeLine("CMD_RESPONSE:STREAMING:started", 0, {})));
  EXPECT_FALSE(qbtools::expectedAnswer("NOPE:x"));
}

TEST_F(CommandLoopTest, StartStreamingChoosesTheMicrophoneOnlyByAJsonObject) {
  struct Case {
    std::string line;
    std::string answer;    // a prefix of it
    std::string recorded;  // the microphone recording afterwards, none when refused
  };
  const Case cases[] = {
      {"START_STREAMING", "STREAMING:started", "builtin-mic"},
      {"START_STREAMING:", "STREAMING:started", "builtin-mic"},
      {"START_STREAMING:usb-mic", "STREAMING:started", "builtin-mic"},  // not JSON: ignored as it always was
      {R"(START_STREAMING:{"fps":3})", "STREAMING:started", "builtin-mic"},
      {R"(START_STREAMING:{"micDeviceId":"usb-mic"})", "STREAMING:started", "usb-mic"},
      {R"(START_STREAMING:{"micDeviceId":"speakers"})", "STREAMING:error:mic_device_not_found", ""},
      {R"(START_STREAMING:{"micDeviceId":7})", "STREAMING:error:invalid_mic_device_id", ""},
      {R"(START_STREAMING:{"micDeviceId":""})", "STREAMING:error:invalid_mic_device_id", ""},
      {R"(START_STREAMING:{"micDeviceId":"usb-mic")", "STREAMING:error:[json.exception.parse_error", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    SimPlatform sim(executor);
    sim.addTypicalMachine();
    sim.audio().addMicrophone("usb-mic", "USB Mic");
    Platform platform = sim.platform();
    platformOverride = platform;
    services.makeMicrophone = [&](const std::optional<std::string>& id) {
      return MicrophoneSource::make(platform, id);
    };
    std::string recorded = "none";
    const size_t before = out.responses().size();
    run({c.line,
         [&] {
           for (const char* uid : {"builtin-mic", "usb-mic"})
             if (sim.audio().recordingSessionCount(uid)) recorded = uid;
         },
         "START_STREAMING", "STOP"});
    const auto answers = out.responses();
    ASSERT_EQ(answers.size(), before + 3);
    EXPECT_TRUE(answers[before].starts_with(c.answer)) << answers[before];
    // A refused start holds nothing: the next one starts with the default.
    EXPECT_EQ(answers[before + 1], c.recorded.empty() ? "STREAMING:started" : "STREAMING:already_active");
    EXPECT_EQ(recorded, c.recorded.empty() ? "none" : c.recorded);
    loop.reset();
  }
}

TEST_F(CommandLoopTest, RunningMicsSampleReportsLaterWhileTheLoopGoesOnAndStopEndsItSilently) {
  SimPlatform sim(executor);
  sim.addTypicalMachine();
  sim.audio().setRunningSomewhere("builtin-mic", PropertyScope::input, true);
  sim.audio().setTone("builtin-mic", 440, 0.2);
  Platform platform = sim.platform();
  platformOverride = platform;
  services.makeMicrophone = [&](const std::optional<std::string>&) { return MicrophoneSource::make(platform); };
  run({"SAMPLE_RUNNING_MICS", "HEALTH_CHECK", [&] { executor.advance(1); }, "START_STREAMING",
       "SAMPLE_RUNNING_MICS:user", [&] { executor.advance(1); }, "SAMPLE_RUNNING_MICS", "STOP"});

  std::vector<std::string> order;
  std::vector<nlohmann::json> reports;
  for (const auto& l : out.lines()) {
    if (l.starts_with("RUNNING_MICS_SAMPLE:")) {
      reports.push_back(nlohmann::json::parse(l.substr(20)));
      order.push_back("report");
    } else if (l == "EVENT:RUNNING_MICS_SAMPLE_STARTED" || l.starts_with("CMD_RESPONSE:")) {
      order.push_back(l.substr(0, 20));
    }
  }
  EXPECT_THAT(order, ElementsAre("EVENT:RUNNING_MICS_S", "CMD_RESPONSE:HEALTH_", "report", "CMD_RESPONSE:STREAMI",
                                 "EVENT:RUNNING_MICS_S", "report", "EVENT:RUNNING_MICS_S", "CMD_RESPONSE:STOPPED"));
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_FALSE(reports[0].contains("selectedDeviceId"));
  EXPECT_EQ(reports[0]["reason"], "requested");
  EXPECT_EQ(reports[1]["selectedDeviceId"], "builtin-mic");
  EXPECT_EQ(reports[1]["reason"], "user");
  ASSERT_EQ(reports[1]["samples"].size(), 1u);
  EXPECT_NEAR(reports[1]["samples"][0]["rms"].get<double>(), 0.2 / std::sqrt(2.0), 0.01);
  EXPECT_TRUE(out.contains("Running mics sample requested: reason=user"));

  // The sampling that STOP cut short writes nothing and leaves no session behind.
  const size_t before = out.lines().size();
  executor.advance(1);
  EXPECT_THAT(out.linesFrom(before), ::testing::IsEmpty());
  EXPECT_EQ(sim.audio().recordingSessionCount("builtin-mic"), 0);
  loop.reset();
}

TEST_F(CommandLoopTest, ABurstOfRunningMicsSamplesCostsTwoSamplingsAndAnswersEachRequest) {
  SimPlatform sim(executor);
  sim.addTypicalMachine();
  sim.audio().setRunningSomewhere("builtin-mic", PropertyScope::input, true);
  platformOverride = sim.platform();
  constexpr int kBurst = 50;
  std::vector<qbtest::ScriptStep> steps;
  for (int i = 0; i < kBurst; ++i) steps.push_back("SAMPLE_RUNNING_MICS:r" + std::to_string(i));
  steps.push_back([&] { executor.advance(2); });
  run(steps);

  const auto lines = out.lines();
  std::vector<std::string> reasons;
  for (const auto& l : lines)
    if (l.starts_with("RUNNING_MICS_SAMPLE:"))
      reasons.push_back(nlohmann::json::parse(l.substr(20))["reason"].get<std::string>());
  ASSERT_EQ(reasons.size(), size_t{kBurst});
  for (int i = 0; i < kBurst; ++i) EXPECT_EQ(reasons[i], std::string("r").append(std::to_string(i)));
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "EVENT:RUNNING_MICS_SAMPLE_STARTED"), kBurst);
  // The first request's sampling, and one for all that came while it ran.
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.starts_with("[MicSampler] Starting"); }),
            2);
  loop.reset();
}
