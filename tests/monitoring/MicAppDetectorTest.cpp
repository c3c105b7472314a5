#include "monitoring/MicAppDetector.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "audio/AudioTestSupport.hpp"
#include "platform/sim/SimPlatform.hpp"
#include "runtime/ManualExecutor.hpp"

namespace qb::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::vector<std::string> kCommand = {"/opt/tools/mic-log", "stream", "--style", "compact"};

// A line as the activity log writes it: a compact-style prefix, then the JSON payload.
std::string logLine(const std::string& sessionName, bool running) {
  nlohmann::json payload = {{"session", {{"name", sessionName}, {"id", 7}}},
                            {"details", {{"input_running", running}, {"device", "mic1"}}}};
  return "2026-12-07 10:00:00.123 Df quellbrook-mic-log[90:91] [input] state: " + payload.dump() + "\n";
}

class MicAppDetectorTest : public ::testing::Test {
 protected:
  MicAppDetectorTest() {
    sim.apps().addApplication({"us.example.Meet", "Meet", "/opt/meet/meet", 100});
    sim.apps().addHelperProcess(101, "/opt/meet/meet-audio-helper", 100);
    sim.apps().addApplication({"org.example.Browser", "Browser", "/usr/lib/browser/browser", 200});
    detector = makeDetector();
  }
  std::shared_ptr<MicAppDetector> makeDetector() {
    return MicAppDetector::make(ex, sim.platform().processes, sim.platform().apps, kCommand);
  }

  void push(const std::string& bytes) {
    ASSERT_TRUE(sim.processes().pushStdoutData(bytes));
    ex.runUntilIdle();
  }
  void exitChild(int status) {
    ASSERT_TRUE(sim.processes().exitChild(status));
    ex.runUntilIdle();
  }

  // Each event as "<virtual seconds> <START|STOP> <bundleId> '<appName>' <pid>", checked
  // for its exact shape.
  std::vector<std::string> events() {
    std::vector<std::string> out;
    for (auto& line : output.lines()) {
      const bool start = line.starts_with("MIC_APP_EVENT:");
      if (!start && !line.starts_with("MIC_APP_STOP_EVENT:")) continue;
      auto j = nlohmann::json::parse(line.substr(line.find(':') + 1));
      EXPECT_EQ(j.size(), 4u) << line;
      EXPECT_TRUE(j["pid"].is_number_integer()) << line;
      EXPECT_EQ(j.dump(), line.substr(line.find(':') + 1));  // compact
      char text[300];
      std::snprintf(text, sizeof text, "%.2f %s %s '%s' %d", at(j["timestamp"]), start ? "START" : "STOP",
                    j["bundleId"].get<std::string>().c_str(), j["appName"].get<std::string>().c_str(),
                    j["pid"].get<int>());
      out.emplace_back(text);
    }
    return out;
  }
  // Each error as "<virtual seconds> <error text>".
  std::vector<std::string> errors() {
    std::vector<std::string> out;
    for (auto& line : output.linesStartingWith("MIC_APP_ERROR:")) {
      auto j = nlohmann::json::parse(line.substr(14));
      EXPECT_EQ(j.size(), 2u) << line;
      char text[300];
      std::snprintf(text, sizeof text, "%.2f %s", at(j["timestamp"]), j["error"].get<std::string>().c_str());
      out.emplace_back(text);
    }
    return out;
  }
  double at(const nlohmann::json& timestamp) {
    return std::round((timestamp.get<double>() - (ex.clock().now() - ex.elapsed())) * 100) / 100 + 0.0;
  }
  std::vector<std::string> detectorLog() { return output.linesStartingWith("MicAppDetector: "); }

  ManualExecutor ex;
  OutputRecorder output;
  SimPlatform sim{ex};
  std::shared_ptr<MicAppDetector> detector;
};

TEST(MicAppDetectorParse, TakesNamePidAndFlagFromThePayload) {
  auto start = MicAppDetector::parseLogLine(logLine("Foo Helper (812)", true));
  ASSERT_TRUE(start);
  EXPECT_EQ(start->processName, "Foo Helper ");
  EXPECT_EQ(start->pid, 812);
  EXPECT_TRUE(start->inputRunning);
  auto stop = MicAppDetector::parseLogLine(R"j({"details":{"input_running":false},"session":{"name":"x(0)"}} )j");
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->processName, "x");
  EXPECT_EQ(stop->pid, 0);
  EXPECT_FALSE(stop->inputRunning);
  auto odd = MicAppDetector::parseLogLine(
      R"j(p {"session":{"name":"a (1) (2147483647)"}, "details" : { "input_running" : true }})j");
  ASSERT_TRUE(odd);
  EXPECT_EQ(odd->processName, "a (1) ");
  EXPECT_EQ(odd->pid, 2147483647);
}

TEST(MicAppDetectorParse, IgnoresEverythingElse) {
  for (const char* line : {
           "no payload here",
           "x {not json}",
           R"j(x {"a":1} {"session":{"name":"A (1)"},"details":{"input_running":true}})j",  // first brace counts
           R"j({"session":{"name":"A (1)"},"details":{"input_running":true}} trailing)j",
           R"j([{"session":{"name":"A (1)"},"details":{"input_running":true}}])j",
           R"j({"details":{"input_running":true}})j",
           R"j({"session":{"name":"A (1)"}})j",
           R"j({"session":"A (1)","details":{"input_running":true}})j",
           R"j({"session":{"name":7},"details":{"input_running":true}})j",
           R"j({"session":{"name":"A (1)"},"details":{"input_running":1}})j",
           R"j({"session":{"name":"A (1)"},"details":{"input_running":"true"}})j",
           R"j({"session":{"name":"A 1"},"details":{"input_running":true}})j",
           R"j({"session":{"name":"A ()"},"details":{"input_running":true}})j",
           R"j({"session":{"name":"A (1x)"},"details":{"input_running":true}})j",
           R"j({"session":{"name":"A (-1)"},"details":{"input_running":true}})j",
           R"j({"session":{"name":"A (1) "},"details":{"input_running":true}})j",
           R"j({"session":{"name":"A (2147483648)"},"details":{"input_running":true}})j",
       })
    EXPECT_FALSE(MicAppDetector::parseLogLine(line)) << line;
}

TEST_F(MicAppDetectorTest, StartsItsLogToolOnceAndLogsEachStep) {
  detector->startMonitoring();
  detector->startMonitoring();
  detector->stopMonitoring();
  detector->stopMonitoring();
  EXPECT_THAT(sim.processes().launches(), ElementsAre(kCommand));
  EXPECT_EQ(sim.processes().runningCount(), 0);
  EXPECT_THAT(detectorLog(), ElementsAre("MicAppDetector: Starting...", "MicAppDetector: Warmed PID cache with 2 apps",
                                         "MicAppDetector: log stream started successfully",
                                         "MicAppDetector: Started monitoring for audio apps",
                                         "MicAppDetector: Already monitoring", "MicAppDetector: Stopped"));
}

TEST_F(MicAppDetectorTest, ProcessesOfOneApplicationGiveOneStartAndOneStop) {
  detector->startMonitoring();
  push("Filtering the log data using \"input_running\"\nTimestamp               Ty Process[PID:TID]\n");
  push(logLine("meet (100)", true));
  ex.advance(1);
  push(logLine("meet-audio-helper (101)", true) + logLine("meet-audio-helper (101)", true));
  push(logLine("meet (100)", false));
  ex.advance(1);
  push(logLine("meet-audio-helper (101)", false) + logLine("meet-audio-helper (101)", false));
  // A stop followed at once by a start of the same application is reported again.
  push(logLine("meet (100)", true));
  push(logLine("browser (200)", true) + logLine("browser (200)", false) + logLine("unknown (300)", false));
  EXPECT_THAT(events(),
              ElementsAre("0.00 START us.example.Meet 'Meet' 100", "2.00 STOP us.example.Meet 'Meet' 101",
                          "2.00 START us.example.Meet 'Meet' 100", "2.00 START org.example.Browser 'Browser' 200",
                          "2.00 STOP org.example.Browser 'Browser' 200"));
  ASSERT_TRUE(detector->lastDetectedApp());
  EXPECT_EQ(detector->lastDetectedApp()->bundleId, "org.example.Browser");
  EXPECT_THAT(output.linesStartingWith("MicAppDetector: Detected app: "),
              ElementsAre("MicAppDetector: Detected app: Meet (us.example.Meet)",
                          "MicAppDetector: Detected app: Meet (us.example.Meet)",
                          "MicAppDetector: Detected app: Browser (org.example.Browser)"));
  EXPECT_THAT(output.linesStartingWith("MicAppDetector: App stopped"),
              ElementsAre("MicAppDetector: App stopped using mic: Meet (us.example.Meet)",
                          "MicAppDetector: App stopped using mic: Browser (org.example.Browser)"));
}

TEST_F(MicAppDetectorTest, ResolvesThroughCacheApplicationPathAndProcessName) {
  sim.apps().addProcess(400, "/usr/local/bin/recorder.py");
  detector->startMonitoring();
  // Cached at start: still named so while the cache is younger than 30 s.
  sim.apps().removeApplication(200);
  ex.advance(10);
  push(logLine("browser (200)", true));
  push(logLine("recorder.py (400)", true));
  push(logLine("AudioMXD-worker (500)", true) + logLine("PipeWire (501)", true) + logLine("wireplumber (502)", true));
  push(logLine("Zoom (600)", true));
  ex.advance(25);  // 35 s: the next start rebuilds the cache, without the browser
  push(logLine("browser (200)", false) + logLine("browser (200)", true));
  EXPECT_THAT(
      events(),
      ElementsAre("10.00 START org.example.Browser 'Browser' 200",
                  "10.00 START path:/usr/local/bin/recorder.py 'recorder' 400", "10.00 START process:Zoom  'Zoom ' 600",
                  "35.00 STOP org.example.Browser 'Browser' 200", "35.00 START process:browser  'browser ' 200"));
  EXPECT_EQ(output.linesStartingWith("MicAppDetector: Warmed PID cache").size(), 2u);
}

// The tool says a process still runs when one of its streams stops while another records;
// a process that ends with its streams may be gone by then, and must stop as what it started.
TEST_F(MicAppDetectorTest, AProcessEndingWithItsStreamsStopsAsTheApplicationItStarted) {
  sim.apps().addProcess(400, "/usr/bin/arecord");
  detector->startMonitoring();
  push(logLine("meet (100)", true) + logLine("arecord (400)", true));
  ex.advance(31);  // the next start rebuilds the cache
  sim.apps().removeApplication(100);
  sim.apps().removeApplication(400);
  for (const char* name : {"meet (100)", "arecord (400)"}) push(logLine(name, true) + logLine(name, false));
  sim.apps().addApplication({"us.example.Meet", "Meet", "/opt/meet/meet", 102});
  push(logLine("meet (102)", true));
  EXPECT_THAT(events(),
              ElementsAre("0.00 START us.example.Meet 'Meet' 100", "0.00 START path:/usr/bin/arecord 'arecord' 400",
                          "31.00 STOP us.example.Meet 'Meet' 100", "31.00 STOP path:/usr/bin/arecord 'arecord' 400",
                          "31.00 START us.example.Meet 'Meet' 102"));
}

TEST_F(MicAppDetectorTest, AssemblesLinesFromPiecesSplitAnywhere) {
  const std::string text =
      logLine("meet (100)", true) + "\r\n" + logLine("meet (100)", false) + logLine("Zoë (7)", true);
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    OutputRecorder pieceOutput;
    auto d = makeDetector();
    d->startMonitoring();
    const std::string first = text.substr(0, cut), second = text.substr(cut);
    const bool splitsCharacter = !first.empty() && first.back() == '\xc3';
    for (const auto& piece : {first, second}) {
      if (!piece.empty()) {
        ASSERT_TRUE(sim.processes().pushStdoutData(piece));
      }
    }
    ex.runUntilIdle();
    d->stopMonitoring();
    auto lines = pieceOutput.linesStartingWith("MIC_APP_");
    if (splitsCharacter) {
      // Both pieces are dropped whole: nothing from either.
      EXPECT_THAT(lines, IsEmpty());
      continue;
    }
    ASSERT_EQ(lines.size(), 3u) << "cut at " << cut;
    EXPECT_TRUE(lines[0].starts_with("MIC_APP_EVENT:{\"appName\":\"Meet\"")) << lines[0];
    EXPECT_TRUE(lines[1].starts_with("MIC_APP_STOP_EVENT:")) << lines[1];
    EXPECT_NE(lines[2].find("\"bundleId\":\"process:Zoë \""), std::string::npos) << lines[2];
  }
}

TEST_F(MicAppDetectorTest, GivesUpAnOverlongLineAndCarriesOn) {
  detector->startMonitoring();
  push(std::string(MicAppDetector::kMaxLineLength + 1, 'x'));
  push(std::string(1000, 'y') + logLine("meet (100)", true));  // the rest of the long line
  push(logLine("browser (200)", true));
  EXPECT_THAT(events(), ElementsAre("0.00 START org.example.Browser 'Browser' 200"));
}

TEST_F(MicAppDetectorTest, RestartsAFailedLogToolAfterFiveSecondsAndNotAfterACleanExit) {
  detector->startMonitoring();
  push(logLine("meet (100)", true));
  ex.advanceTo(1);
  exitChild(1);
  ex.advanceTo(5.99);
  EXPECT_EQ(sim.processes().launches().size(), 1u);
  ex.advanceTo(6);
  EXPECT_EQ(sim.processes().launches().size(), 2u);
  EXPECT_EQ(sim.processes().runningCount(), 1);
  // What the failed tool counted ended with it; the new one's reports count afresh.
  push(logLine("meet-audio-helper (101)", true) + logLine("meet (100)", false) +
       logLine("meet-audio-helper (101)", false));
  exitChild(0);
  ex.advance(30);
  EXPECT_EQ(sim.processes().launches().size(), 2u);
  EXPECT_THAT(errors(), ElementsAre("1.00 log stream exited with status 1"));
  EXPECT_THAT(events(), ElementsAre("0.00 START us.example.Meet 'Meet' 100", "1.00 STOP us.example.Meet 'Meet' 100",
                                    "6.00 START us.example.Meet 'Meet' 101", "6.00 STOP us.example.Meet 'Meet' 101"));
  EXPECT_THAT(detectorLog(), ::testing::Contains("MicAppDetector: log stream exited with status 1"));
  EXPECT_THAT(detectorLog(), ::testing::Contains("MicAppDetector: Attempting to restart log stream..."));
}

TEST_F(MicAppDetectorTest, TheLastLinesOfAnEndingLogToolComeBeforeItsError) {
  detector->startMonitoring();
  push(logLine("meet (100)", true));
  ASSERT_TRUE(sim.processes().pushStdoutData(logLine("meet (100)", false)));
  ASSERT_TRUE(sim.processes().exitChild(1));
  ex.runUntilIdle();
  EXPECT_THAT(output.linesStartingWith("MIC_APP_"),
              ElementsAre(::testing::StartsWith("MIC_APP_EVENT:"), ::testing::StartsWith("MIC_APP_STOP_EVENT:"),
                          ::testing::StartsWith("MIC_APP_ERROR:")));
}

TEST_F(MicAppDetectorTest, StopCancelsAPendingRestartAndForgetsWhatWasCounted) {
  detector->startMonitoring();
  exitChild(SimProcessLauncher::kTerminatedStatus);
  ex.advance(2);
  detector->stopMonitoring();
  ex.advance(1);
  detector->startMonitoring();  // 3 s: before the old restart
  push(logLine("meet (100)", true));
  detector->stopMonitoring();
  detector->startMonitoring();
  push(logLine("meet (100)", true));
  ex.advance(10);
  EXPECT_EQ(sim.processes().launches().size(), 3u);
  EXPECT_EQ(sim.processes().runningCount(), 1);
  // No stop event for what was counted at the stop; the new start is reported again, inside
  // the old dedupe window.
  EXPECT_THAT(events(), ElementsAre("3.00 START us.example.Meet 'Meet' 100", "3.00 START us.example.Meet 'Meet' 100"));
  EXPECT_THAT(errors(), ElementsAre("0.00 log stream exited with status 143"));
}

TEST_F(MicAppDetectorTest, ALaunchFailureEndsMonitoringUntilTheNextStart) {
  sim.processes().failNextLaunch("No such file or directory");
  detector->startMonitoring();
  EXPECT_THAT(errors(), ElementsAre("0.00 Failed to start log stream: No such file or directory"));
  EXPECT_THAT(detectorLog(),
              ::testing::Contains("MicAppDetector: Failed to start log stream: No such file or directory"));
  EXPECT_EQ(detectorLog().back(), "MicAppDetector: Started monitoring for audio apps");
  detector->stopMonitoring();  // not monitoring: nothing to stop
  EXPECT_EQ(detectorLog().back(), "MicAppDetector: Started monitoring for audio apps");
  detector->startMonitoring();
  EXPECT_EQ(sim.processes().runningCount(), 1);
  EXPECT_EQ(detectorLog().back(), "MicAppDetector: Started monitoring for audio apps");
  EXPECT_EQ(output.linesStartingWith("MicAppDetector: Starting...").size(), 2u);
}

TEST_F(MicAppDetectorTest, ReleasedDetectorEndsItsChildAndIgnoresLateOutput) {
  detector->startMonitoring();
  sim.processes().pushStdoutData(logLine("meet (100)", true));
  detector.reset();
  ex.runUntilIdle();
  EXPECT_EQ(sim.processes().runningCount(), 0);
  EXPECT_THAT(events(), IsEmpty());
}

}  // namespace
}  // namespace qb::testing
