// Screen video, listing and screenshot of the built helper on a Wayland session, driven as a
// host drives it: the screen-sharing stack of test-env (a headless compositor, the real portal
// frontend and the test portal, whose pictures, choosers and tokens the tests steer).

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "HelperProcess.hpp"
#include "e2e/support/HelperUnderTest.hpp"
#include "linux/PortalTestEnv.hpp"
#include "support/DecodedVideo.hpp"

using namespace qbtools;
namespace testenv = qb::testenv;

namespace {

const std::string kBinary = qb::e2e::helperBinary();
constexpr double kTimeout = 10;

class PortalScreenE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    QB_REQUIRE_TEST_PORTAL();
    ASSERT_TRUE(testenv::portal("reset"));
    helper = start();
  }
  void TearDown() override {
    if (!helper) return;
    if (HasFailure())
      for (const auto& l : helper->lines()) std::fprintf(stderr, "helper: %.300s\n", l.text.c_str());
    helper->send("STOP");
    helper->waitForExit(kTimeout);
  }
  static std::unique_ptr<HelperProcess> start(std::vector<std::pair<std::string, std::string>> env = {}) {
    HelperOptions options;
    options.binary = kBinary;
    options.env = std::move(env);
    auto h = std::make_unique<HelperProcess>(options);
    EXPECT_TRUE(
        h->waitForLine([](const Line& l) { return l.text == "Helper ready, waiting for commands..."; }, kTimeout));
    return h;
  }

  std::string answer(const std::string& command, const std::string& prefix, double timeout = kTimeout) {
    return helper->ask(command, prefix, timeout);
  }
  // START_VIDEO with `json`; the restore token it reported, "" for none.
  std::string startVideo(const std::string& json, const std::string& expect = "START_VIDEO:started") {
    const uint64_t from = helper->lineCount();
    EXPECT_EQ(answer("START_VIDEO:" + json, "START_VIDEO:"), expect);
    return tokenSince(from);
  }
  std::string tokenSince(uint64_t from) {
    std::string token;
    const auto lines = helper->lines();
    for (size_t i = from; i < lines.size(); ++i) {
      const auto& text = lines[i].text;
      if (!text.starts_with("EVENT:SCREEN_SHARE_RESTORE_TOKEN:")) continue;
      token = nlohmann::json::parse(text.substr(33))["restoreToken"];
    }
    return token;
  }
  std::vector<Frame> videoFrames() const {
    std::vector<Frame> v;
    for (auto& f : helper->frames())
      if (f.isVideo()) v.push_back(f);
    return v;
  }
  bool waitForVideo(size_t count) {
    return helper->waitForFrames(count, kTimeout, [](const Frame& f) { return f.isVideo(); });
  }
  std::optional<nlohmann::json> waitForEvent(const std::string& name, uint64_t from) {
    auto line =
        helper->waitForLine([&](const Line& l) { return l.text.starts_with("EVENT:" + name + ":"); }, kTimeout, from);
    if (!line) return std::nullopt;
    return nlohmann::json::parse(line->text.substr(7 + name.size()));
  }
  // The portal holds no session and no node streams to anyone.
  bool nothingShared() {
    return testenv::waitUntil(
        [] {
          auto s = testenv::portalStatus();
          return s["sessions"] == 0 && s["streaming"] == 0;
        },
        kTimeout);
  }

  std::unique_ptr<HelperProcess> helper;
};

TEST_F(PortalScreenE2E, OutputsAreListedAndTheVideoShowsThePaintedPicture) {
  // The compositor's two outputs, by size, with ids that another run of the helper finds again.
  auto list = nlohmann::json::parse(answer("LIST_WINDOWS", "LIST_WINDOWS:").substr(13));
  ASSERT_EQ(list.size(), 2u) << list;
  EXPECT_EQ(list[0]["type"], "display");
  EXPECT_EQ(list[0]["width"], 1920);
  EXPECT_EQ(list[0]["height"], 1080);
  EXPECT_EQ(list[1]["width"], 1280);
  EXPECT_EQ(list[1]["height"], 720);
  EXPECT_NE(list[0]["id"], list[1]["id"]);
  auto other = start();
  ASSERT_TRUE(other->send("LIST_WINDOWS"));
  auto again = other->waitForResponsePrefix("LIST_WINDOWS:", kTimeout);
  ASSERT_TRUE(again);
  EXPECT_EQ(nlohmann::json::parse(again->body.substr(13)), list);
  other->send("STOP");

  ASSERT_TRUE(testenv::portal("paint 2080C0"));
  const int w = 640, h = 360;
  const uint32_t display = list[0]["id"];
  startVideo("{\"type\":\"display\",\"id\":" + std::to_string(display) + ",\"width\":640,\"height\":360,\"fps\":10}");
  ASSERT_TRUE(waitForVideo(1));
  EXPECT_TRUE(videoFrames()[0].isKeyframe());
  EXPECT_EQ(videoFrames()[0].width, w);
  EXPECT_EQ(videoFrames()[0].height, h);
  auto centre = testenv::centreOfLastPicture(videoFrames(), w, h);
  ASSERT_TRUE(centre);
  EXPECT_TRUE(testenv::near(*centre, 0x2080C0));

  // Changes reach the stream at its pace: the screen contracts, run on this backend too; how
  // soon they reach the host is compare-portal-video's latency figure.
  EXPECT_EQ(answer("STOP_VIDEO", "STOP_VIDEO:"), "STOP_VIDEO:stopped");
  EXPECT_TRUE(nothingShared()) << "the portal session or the PipeWire stream outlived STOP_VIDEO";
  EXPECT_EQ(helper->protocolError(), "");
}

TEST_F(PortalScreenE2E, ARestoreTokenSkipsTheChooserAndEveryGrantReportsOne) {
  const std::string json = "{\"width\":320,\"height\":180}";
  const std::string first = startVideo(json);
  ASSERT_FALSE(first.empty()) << "the first grant gave no token";
  EXPECT_EQ(answer("STOP_VIDEO", "STOP_VIDEO:"), "STOP_VIDEO:stopped");
  EXPECT_EQ(testenv::portalStatus()["choosers"], 1);

  // The token takes the choice again without the dialog, and a token for the next time comes.
  auto withToken = [&](const std::string& token) {
    return "{\"width\":320,\"height\":180,\"restoreToken\":\"" + token + "\"}";
  };
  const std::string second = startVideo(withToken(first));
  EXPECT_FALSE(second.empty());
  EXPECT_EQ(testenv::portalStatus()["choosers"], 1);
  EXPECT_EQ(testenv::portalStatus()["restored"], 1);
  ASSERT_TRUE(waitForVideo(1));
  EXPECT_EQ(answer("STOP_VIDEO", "STOP_VIDEO:"), "STOP_VIDEO:stopped");

  // A token nobody issued, one that is not a token at all, and one the desktop refuses: the user
  // is asked, and the grant reports its own token.
  const std::string unknown = "00000000-1111-2222-3333-444444444444";
  for (const std::string& token : {unknown, std::string("not a token"), second}) {
    SCOPED_TRACE(token);
    if (token == second) {
      ASSERT_TRUE(testenv::portal("tokens refuse"));
    }
    const int asked = testenv::portalStatus()["choosers"];
    EXPECT_FALSE(startVideo(withToken(token)).empty());
    EXPECT_EQ(testenv::portalStatus()["choosers"], asked + 1);
    EXPECT_EQ(answer("STOP_VIDEO", "STOP_VIDEO:"), "STOP_VIDEO:stopped");
  }
  EXPECT_TRUE(nothingShared());
}

TEST_F(PortalScreenE2E, ACancelledChooserIsAnErrorAndTheNextStartAsksAgain) {
  ASSERT_TRUE(testenv::portal("chooser cancel"));
  const std::string refused = answer("START_VIDEO:{}", "START_VIDEO:");
  EXPECT_TRUE(refused.starts_with("START_VIDEO:error:")) << refused;
  EXPECT_NE(refused.find("Code=-3801"), std::string::npos) << refused;
  EXPECT_NE(refused.find("cancelled"), std::string::npos) << refused;
  EXPECT_TRUE(nothingShared());

  ASSERT_TRUE(testenv::portal("chooser grant"));
  startVideo("{\"width\":320,\"height\":180}");
  EXPECT_TRUE(waitForVideo(1));
}

TEST_F(PortalScreenE2E, AClosedSessionOrAVanishedNodeEndsTheVideoWithItsReason) {
  const std::string json = "{\"width\":320,\"height\":180}";
  for (const auto& [command, reason] :
       {std::pair{"close-session", "sharingEnded"}, {"remove-node", "displayRemoved"}}) {
    SCOPED_TRACE(command);
    startVideo(json);
    ASSERT_TRUE(waitForVideo(videoFrames().size() + 1));
    const uint64_t from = helper->lineCount();
    ASSERT_TRUE(testenv::portal(command));
    auto stopped = waitForEvent("VIDEO_STOPPED", from);
    ASSERT_TRUE(stopped) << "the end was not reported";
    EXPECT_EQ((*stopped)["reason"], std::string(reason));
    EXPECT_EQ((*stopped)["type"], "display");
    EXPECT_TRUE(nothingShared());
  }
}

TEST_F(PortalScreenE2E, SwitchingAsksForAWindowAndTheVideoShowsIt) {
  ASSERT_TRUE(testenv::portal("paint 2080C0"));
  ASSERT_TRUE(testenv::portal("paint C0E020 window"));
  const int w = 640, h = 360;
  startVideo("{\"width\":640,\"height\":360}");
  ASSERT_TRUE(waitForVideo(1));
  // The window's node offers red-first pixels only, which take the converter's other path.
  ASSERT_TRUE(testenv::portal("pixels RGBx"));
  const size_t before = videoFrames().size();
  const uint64_t from = helper->lineCount();
  // On Wayland the user picks the window: any id names "a window".
  EXPECT_EQ(answer("SWITCH_VIDEO:{\"type\":\"window\",\"id\":1}", "SWITCH_VIDEO:"), "SWITCH_VIDEO:switched");
  EXPECT_FALSE(tokenSince(from).empty());
  ASSERT_TRUE(waitForVideo(before + 1));
  auto frames = videoFrames();
  EXPECT_TRUE(frames[before].isKeyframe());
  EXPECT_EQ(frames[before].sequence, frames[before - 1].sequence + 1);
  auto centre = testenv::centreOfLastPicture(frames, w, h);
  ASSERT_TRUE(centre);
  EXPECT_TRUE(testenv::near(*centre, 0xC0E020)) << (*centre)[0] << "," << (*centre)[1] << "," << (*centre)[2];
  auto s = testenv::portalStatus();
  EXPECT_EQ(s["choosers"], 2);
  EXPECT_TRUE(testenv::waitUntil([] { return testenv::portalStatus()["sessions"] == 1; }, kTimeout))
      << "the first session outlived the switch";
}

TEST_F(PortalScreenE2E, ScreenshotIsThePortalsPictureOrOneOfACastWhenThePortalCannot) {
  ASSERT_TRUE(testenv::portal("paint 20E020"));
  for (bool refused : {false, true}) {
    SCOPED_TRACE(refused);
    if (refused) {
      ASSERT_TRUE(testenv::portal("screenshot deny"));
    }
    const std::string body = answer("SCREENSHOT", "SCREENSHOT_DATA:", 2 * kTimeout);
    ASSERT_TRUE(body.starts_with("SCREENSHOT_DATA:"));
    const auto path = std::filesystem::temp_directory_path() / ("qb-e2e-" + std::to_string(::getpid()) + ".b64");
    std::ofstream(path) << body.substr(16);
    const std::string rgb =
        testenv::run("base64 -d " + path.string() + " | ffmpeg -v error -f png_pipe -i - -f rawvideo -pix_fmt rgb24 -")
            .value_or("");
    std::filesystem::remove(path);
    ASSERT_EQ(rgb.size(), size_t(1920) * 1080 * 3) << "not a PNG of the first output's size";
    const auto* centre = reinterpret_cast<const uint8_t*>(rgb.data()) + (size_t(540) * 1920 + 960) * 3;
    EXPECT_TRUE(testenv::near({centre[0], centre[1], centre[2]}, 0x20E020, 2));
  }
  auto s = testenv::portalStatus();
  EXPECT_EQ(s["screenshots"], 1);
  EXPECT_EQ(s["choosers"], 1) << "the refused screenshot was not taken from a screen cast";
  EXPECT_TRUE(nothingShared());
}

// A Wayland session whose bus has no portal: the helper captures through X11 and says what
// that leaves out.
TEST(PortalFallbackE2E, WithoutAPortalTheSessionIsCapturedThroughX11) {
  QB_REQUIRE_TEST_PORTAL();
  if (testenv::envOr("DISPLAY").empty()) GTEST_SKIP() << "no X display to fall back to";
  HelperOptions options;
  options.binary = kBinary;
  options.env = {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"}};
  HelperProcess helper(options);
  ASSERT_TRUE(helper.send("LIST_WINDOWS"));
  auto list = helper.waitForResponsePrefix("LIST_WINDOWS:", kTimeout);
  ASSERT_TRUE(list);
  EXPECT_TRUE(helper.waitForLine(
      [](const Line& l) {
        return l.text.starts_with("Screen capture: no desktop portal") && l.text.find("X11") != std::string::npos;
      },
      kTimeout));
  bool windows = false;
  for (auto& e : nlohmann::json::parse(list->body.substr(13))) windows |= e["type"] == "window";
  EXPECT_TRUE(windows) << "the X11 windows of the test display are not listed: " << list->body;
  helper.send("STOP");
  helper.waitForExit(kTimeout);
}

}  // namespace
