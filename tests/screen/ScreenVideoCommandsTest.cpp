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

TEST_F(ScreenVideoCommandsTest, ListWindowsAnswersOneJSONLine) {
  run({"LIST_WINDOWS"});
  EXPECT_THAT(out.responses(),
              ElementsAre("LIST_WINDOWS:[{\"appName\":\"\",\"height\":1080,\"id\":1,\"name\":\"Display "
                          "1\",\"type\":\"display\",\"width\":1920},{\"appName\":\"editor\",\"bundleId\":\"org."
                          "example.editor\",\"height\":600,\"id\":42,\"name\":\"Editor\",\"type\":\"window\","
                          "\"width\":800}]"));
}

}  // namespace
