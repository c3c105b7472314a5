#include "monitoring/MicrophoneMonitor.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>

#include "audio/AudioTestSupport.hpp"
#include "platform/sim/SimPlatform.hpp"
#include "runtime/ManualExecutor.hpp"

namespace qb::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::string kBuiltin = "builtin-mic";
const std::string kUsb = "usb-mic";
const std::string kHeadset = "headset-mic";

class MicrophoneMonitorTest : public ::testing::Test {
 protected:
  MicrophoneMonitorTest() {
    sim.addTypicalMachine();
    sim.audio().addMicrophone(kUsb, "USB Mic");
    sim.audio().addMicrophone(kHeadset, "Headset Mic");
    ex.runUntilIdle();
    monitor = MicrophoneMonitor::make(ex, sim.platform().audio);
  }

  void setRunning(const std::string& uid, bool running) {
    sim.audio().setRunningSomewhere(uid, PropertyScope::input, running);
  }
  std::string id(const std::string& uid) { return std::to_string(*sim.audio().idOf(uid)); }

  // Each event as "<virtual seconds> <state> <device name>", checked for its exact shape.
  std::vector<std::string> events() {
    std::vector<std::string> out;
    for (auto& line : output.linesStartingWith("MIC_EVENT:")) {
      auto j = nlohmann::json::parse(line.substr(10));
      EXPECT_EQ(j.size(), 4u) << line;
      EXPECT_TRUE(j["deviceId"].is_string()) << line;
      const double at = std::round((j["timestamp"].get<double>() - (ex.clock().now() - ex.elapsed())) * 100) / 100;
      char text[160];
      std::snprintf(text, sizeof text, "%.2f %s %s", at + 0.0, j["state"].get<std::string>().c_str(),
                    j["deviceName"].get<std::string>().c_str());
      out.emplace_back(text);
    }
    return out;
  }
  std::vector<std::string> monitorLog() { return output.linesStartingWith("MicrophoneMonitor: "); }

  ManualExecutor ex;
  OutputRecorder output;
  SimPlatform sim{ex};
  std::shared_ptr<MicrophoneMonitor> monitor;
};

TEST_F(MicrophoneMonitorTest, StartsWithTheIdleDefaultAndStaysQuiet) {
  monitor->startMonitoring();
  ex.advanceTo(3);
  monitor->startMonitoring();
  EXPECT_THAT(events(), ElementsAre("0.00 inactive Built-in Microphone"));
  EXPECT_THAT(monitorLog(), ElementsAre("MicrophoneMonitor: Starting...",
                                        "MicrophoneMonitor: Started monitoring device " + id(kBuiltin),
                                        "MicrophoneMonitor: Already monitoring"));
  auto event = nlohmann::json::parse(output.linesStartingWith("MIC_EVENT:")[0].substr(10));
  EXPECT_EQ(event["deviceId"], id(kBuiltin));
  EXPECT_DOUBLE_EQ(event["timestamp"].get<double>(), ex.clock().now() - 3);
}

TEST_F(MicrophoneMonitorTest, DefaultDeviceIsReportedByItsListenerOnly) {
  setRunning(kBuiltin, true);
  monitor->startMonitoring();
  ex.advanceTo(1.3);
  setRunning(kBuiltin, false);
  ex.advanceTo(2.3);
  setRunning(kBuiltin, true);
  ex.advanceTo(4.3);
  EXPECT_THAT(events(), ElementsAre("0.00 active Built-in Microphone", "1.30 inactive Built-in Microphone",
                                    "2.30 active Built-in Microphone"));
}

TEST_F(MicrophoneMonitorTest, SecondMicrophoneIsPolledAndItsEndNamesTheDefault) {
  monitor->startMonitoring();
  ex.advanceTo(0.7);
  setRunning(kUsb, true);
  ex.advanceTo(2.2);  // later polls stay silent while it runs
  setRunning(kUsb, false);
  ex.advanceTo(3.2);
  EXPECT_THAT(events(), ElementsAre("0.00 inactive Built-in Microphone", "1.00 active USB Mic",
                                    "2.50 inactive Built-in Microphone"));
}

TEST_F(MicrophoneMonitorTest, FirstRunningDeviceInListOrderIsReportedThenTheNextOne) {
  setRunning(kHeadset, true);
  setRunning(kUsb, true);
  monitor->startMonitoring();
  ex.advanceTo(0.6);
  setRunning(kUsb, false);  // the headset keeps running: still "a microphone in use"
  ex.advanceTo(1.6);
  EXPECT_THAT(events(),
              ElementsAre("0.00 inactive Built-in Microphone", "0.50 active USB Mic", "1.00 active Headset Mic"));
}

TEST_F(MicrophoneMonitorTest, DefaultDeviceChangeMovesTheWatchAndRestartsThePoll) {
  setRunning(kUsb, true);
  monitor->startMonitoring();
  ex.advanceTo(0.6);  // usb reported by the poll at 0.5
  sim.audio().setDefaultDevice(kUsb);
  ex.advanceTo(0.9);
  sim.audio().setDefaultDevice(std::nullopt);
  ex.advanceTo(1.2);
  setRunning(kUsb, false);  // still the watched device
  ex.advanceTo(1.3);
  setRunning(kBuiltin, true);  // no longer the default: found by the poll restarted at 0.6
  ex.advanceTo(1.8);
  EXPECT_THAT(events(),
              ElementsAre("0.00 inactive Built-in Microphone", "0.50 active USB Mic", "0.60 device_changed USB Mic",
                          "0.60 active USB Mic", "1.20 inactive USB Mic", "1.60 active Built-in Microphone"));
  EXPECT_THAT(monitorLog(),
              ::testing::Contains("MicrophoneMonitor: Device changed " + id(kBuiltin) + " -> " + id(kUsb)));
  EXPECT_THAT(monitorLog(), ::testing::Contains("MicrophoneMonitor: Default device changed to none"));
}

TEST_F(MicrophoneMonitorTest, DeviceListIsCachedForFiveSecondsUnlessTheListChanges) {
  // A device that gains an input stream is not announced as a list change.
  sim.audio().addMicrophone("late-mic", "Late Mic");
  sim.audio().setInputStreamCount("late-mic", 0);
  monitor->startMonitoring();
  ex.advanceTo(0.6);
  sim.audio().setInputStreamCount("late-mic", 1);
  setRunning("late-mic", true);
  ex.advanceTo(5.4);  // the list read at 0.5 serves until 5.5
  EXPECT_THAT(events(), ElementsAre("0.00 inactive Built-in Microphone"));
  ex.advanceTo(6);
  EXPECT_THAT(events(), ElementsAre("0.00 inactive Built-in Microphone", "6.00 active Late Mic"));

  setRunning("late-mic", false);
  ex.advanceTo(6.5);
  sim.audio().addMicrophone("new-mic", "New Mic");  // a list change clears the cache at once
  setRunning("new-mic", true);
  ex.advanceTo(7);
  EXPECT_THAT(events(), ElementsAre("0.00 inactive Built-in Microphone", "6.00 active Late Mic",
                                    "6.50 inactive Built-in Microphone", "7.00 active New Mic"));
}

TEST_F(MicrophoneMonitorTest, StopSilencesEverythingAndARestartReportsAfresh) {
  setRunning(kUsb, true);
  monitor->startMonitoring();
  ex.advanceTo(0.6);
  monitor->stopMonitoring();
  monitor->stopMonitoring();
  sim.audio().setDefaultDevice(kHeadset);
  setRunning(kUsb, false);
  setRunning(kUsb, true);
  ex.advanceTo(3.6);
  EXPECT_EQ(sim.audio().listenerCount(), 0u);
  EXPECT_EQ(monitorLog().back(), "MicrophoneMonitor: Stopped");
  EXPECT_EQ(output.linesStartingWith("MicrophoneMonitor: Stopped").size(), 1u);

  monitor->startMonitoring();  // the usb microphone is reported again: a clean history
  ex.advanceTo(4.1);
  EXPECT_THAT(events(), ElementsAre("0.00 inactive Built-in Microphone", "0.50 active USB Mic",
                                    "3.60 inactive Headset Mic", "4.10 active USB Mic"));
}

TEST_F(MicrophoneMonitorTest, UnableToWatchIsSaidOnceAndWatchingStartsWhenADefaultAppears) {
  auto& audio = sim.audio();
  audio.setDefaultDevice(std::nullopt);
  struct Step {
    double at;
    std::function<void()> act;
    std::vector<std::string> lines;  // EVENT: and MIC_EVENT: lines, in order
  };
  const Step steps[] = {
      {0, [&] { monitor->startMonitoring(); }, {"EVENT:MIC_MONITORING_UNAVAILABLE:noDefaultInputDevice"}},
      {2, [&] { setRunning(kUsb, true); }, {}},  // nothing is watched yet
      {3,
       [&] { audio.setDefaultDevice(kHeadset); },
       {"EVENT:MIC_MONITORING_RESUMED", "MIC_EVENT:inactive", "MIC_EVENT:active"}},
      {4, [&] { audio.serverDown(); }, {"EVENT:MIC_MONITORING_UNAVAILABLE:noDefaultInputDevice", "MIC_EVENT:inactive"}},
      {5, [&] { audio.serverUp(); }, {"EVENT:MIC_MONITORING_RESUMED", "MIC_EVENT:active"}},
      {6, [&] { setRunning(kHeadset, true); }, {"MIC_EVENT:active"}},  // still watching
      {7,
       [&] { audio.failPropertyRead(SimAudioProperty::defaultInputDevice, -50); },
       {"EVENT:MIC_MONITORING_UNAVAILABLE:noDefaultInputDevice"}},  // seen by the poll alone
      {8, [&] { audio.clearPropertyFailures(); }, {"EVENT:MIC_MONITORING_RESUMED"}},
      {9,
       [&] {
         monitor->stopMonitoring();
         audio.serverDown();
       },
       {}},
  };
  for (const auto& step : steps) {
    ex.advanceTo(step.at);
    output.clear();
    step.act();
    ex.advanceTo(step.at + 0.9);
    std::vector<std::string> lines;
    for (auto& line : output.lines()) {
      if (line.starts_with("EVENT:")) lines.push_back(line);
      if (line.starts_with("MIC_EVENT:"))
        lines.push_back("MIC_EVENT:" + nlohmann::json::parse(line.substr(10))["state"].get<std::string>());
    }
    EXPECT_EQ(lines, step.lines) << "at " << step.at;
  }
  EXPECT_EQ(sim.audio().listenerCount(), 0u);
}

TEST_F(MicrophoneMonitorTest, FailedReadsMeanUnknownNamesAndNoDevicesInUse) {
  sim.audio().failPropertyRead(SimAudioProperty::name, -1, kUsb);
  sim.audio().failPropertyRead(SimAudioProperty::isRunningSomewhere, -1, kHeadset);
  setRunning(kHeadset, true);  // unreadable: counts as not running
  setRunning(kUsb, true);
  setRunning(kBuiltin, true);
  monitor->startMonitoring();
  ex.advanceTo(0.5);
  sim.audio().failPropertyRead(SimAudioProperty::deviceIDs, -1);
  sim.audio().addMicrophone("other", "Other");  // clears the cache: the empty list is read
  ex.advanceTo(1);
  // With no list the default is not seen by the poll either: "inactive" although it runs.
  EXPECT_THAT(events(), ElementsAre("0.00 active Built-in Microphone", "1.00 inactive Built-in Microphone"));
  sim.audio().clearPropertyFailures();
  sim.audio().failPropertyRead(SimAudioProperty::name, -1, kUsb);
  setRunning(kBuiltin, false);
  ex.advanceTo(1.5);
  EXPECT_EQ(events().back(), "1.50 active Unknown Device");
}

TEST_F(MicrophoneMonitorTest, PollBeforeQueuedListenerWorkGivesTwoInactiveEvents) {
  setRunning(kBuiltin, true);
  monitor->startMonitoring();
  ex.advanceTo(0.25);
  // Due at 1.0 before the poll tick queued at 0.5: the stop happens, the poll runs, and
  // only then the listener's work.
  ex.runAsyncAfter(0.75, [this] { setRunning(kBuiltin, false); });
  ex.advanceTo(1.25);
  EXPECT_THAT(events(), ElementsAre("0.00 active Built-in Microphone", "1.00 inactive Built-in Microphone",
                                    "1.00 inactive Built-in Microphone"));
}

TEST_F(MicrophoneMonitorTest, ReleasedMonitorStopsReacting) {
  monitor->startMonitoring();
  monitor.reset();
  setRunning(kUsb, true);
  setRunning(kBuiltin, true);
  ex.advanceTo(2);
  EXPECT_THAT(events(), ElementsAre("0.00 inactive Built-in Microphone"));
  EXPECT_EQ(sim.audio().listenerCount(), 0u);
}

}  // namespace
}  // namespace qb::testing
