// The video rows of the command loop with the real source on the simulated screen: what a
// host sees for bad settings, a dead capture, a switch and the listing.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ProtocolReader.hpp"
#include "host/CommandLoop.hpp"
#include "host/HostTestSupport.hpp"
#include "platform/sim/SimPlatform.hpp"
#include "runtime/ManualExecutor.hpp"
#include "screen/ScreenVideoSource.hpp"

using namespace qb;
using ::testing::ElementsAre;

namespace {

class ScreenVideoCommandsTest : public ::testing::Test {
 protected:
  ScreenVideoCommandsTest() {
    sim.screen().setDisplays({DisplayInfo{1, 1920, 1080}});
    WindowInfo w;
    w.windowID = 42;
    w.title = "Editor";
    w.frame = {0, 0, 800, 600};
    w.owningApplication = RunningApplication{"editor", "org.example.editor", 77};
    sim.screen().setWindows({w});
  }

  void run(std::vector<qbtest::ScriptStep> lines) {
    auto script = std::make_shared<qbtest::ScriptedLines>(std::move(lines));
    CommandServices services;
    services.makeVideoSource = [this](const VideoFormat& f) { return ScreenVideoSource::make(sim.platform(), f); };
    loop = std::make_unique<CommandLoop>(
        sim.platform(), [script] { return script; }, [](int) {}, services);
    loop->run();
  }
  std::vector<qbtools::Frame> frames() {
    qbtools::FrameParser parser;
    return parser.feed(out.stdoutBytes());
  }
  std::function<void()> advance(double seconds) {
    return [this, seconds] { ex.advance(seconds); };
  }

  ManualExecutor ex;
  SimPlatform sim{ex};
  qbtest::CapturedOutput out;
  std::unique_ptr<CommandLoop> loop;
};

TEST_F(ScreenVideoCommandsTest, SettingsTheEncoderCannotTakeAreRefusedAndNothingStarts) {
  // Which settings are refused is the source's table; here, what the host sees of it.
  run({"START_VIDEO:{\"width\":1281,\"height\":720}", "START_VIDEO:{\"fps\":0}", "STOP_VIDEO"});
  EXPECT_THAT(
      out.responses(),
      ElementsAre("START_VIDEO:error:invalidSettings(\"Invalid size 1281x720: width and height must be even for "
                  "4:2:0 video\")",
                  "START_VIDEO:error:invalidSettings(\"Invalid frame rate 0: it must lie in 1...255\")",
                  "STOP_VIDEO:not_active"));  // a refused start holds no source
  EXPECT_EQ(sim.screen().counters().streamsCreated, 0);
  EXPECT_EQ(sim.videoEncoders().counters().encodersCreated, 0);
  EXPECT_TRUE(out.contains("START_VIDEO error: invalidSettings(\"Invalid frame rate 0: it must lie in 1...255\")"));
}

TEST_F(ScreenVideoCommandsTest, ADeadCaptureIsCleanedUpAndANewStartWorks) {
  run({"START_VIDEO:{\"type\":\"window\",\"id\":42,\"width\":640,\"height\":480}", advance(0.25),
       [this] { sim.screen().removeWindow(42); }, advance(0.1), "SWITCH_VIDEO:{\"type\":\"display\",\"id\":1}",
       "START_VIDEO:{\"id\":1,\"width\":640,\"height\":480}", advance(0.25), "START_VIDEO", "STOP_VIDEO",
       "STOP_VIDEO"});
  EXPECT_THAT(out.responses(),
              ElementsAre("START_VIDEO:started", "SWITCH_VIDEO:error:targetNotFound(\"No active stream\")",
                          "START_VIDEO:started", "START_VIDEO:error:already_active", "STOP_VIDEO:stopped",
                          "STOP_VIDEO:not_active"));
  EXPECT_TRUE(out.contains("ScreenVideoSource: cleaning up dead video source before restart"));
  // The second run counts from 0 again, keyframe first.
  auto f = frames();
  auto second = std::find_if(f.begin() + 1, f.end(), [](auto& x) { return x.sequence == 0; });
  ASSERT_NE(second, f.end());
  EXPECT_TRUE(second->isKeyframe());
  EXPECT_EQ(second->pts, 0u);
  EXPECT_EQ(f.end() - second, 3);  // at 0, 100 and 200 ms
}

TEST_F(ScreenVideoCommandsTest, ListWindowsAnswersOneJSONLine) {
  run({"LIST_WINDOWS"});
  EXPECT_THAT(out.responses(),
              ElementsAre("LIST_WINDOWS:[{\"appName\":\"\",\"height\":1080,\"id\":1,\"name\":\"Display "
                          "1\",\"type\":\"display\",\"width\":1920},{\"appName\":\"editor\",\"bundleId\":\"org."
                          "example.editor\",\"height\":600,\"id\":42,\"name\":\"Editor\",\"type\":\"window\","
                          "\"width\":800}]"));
}

}  // namespace
