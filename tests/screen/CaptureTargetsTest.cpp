// LIST_WINDOWS and SCREENSHOT on the simulated screen: which windows are offered, the JSON
// the host parses, and the single screenshot line or the log line instead.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "host/HostTestSupport.hpp"
#include "platform/sim/SimPlatform.hpp"
#include "runtime/ManualExecutor.hpp"
#include "screen/Base64.hpp"
#include "screen/CaptureTargets.hpp"
#include "screen/Screenshot.hpp"

using namespace qb;
using ::testing::ElementsAre;

namespace {

WindowInfo window(uint32_t id, std::optional<std::string> title, double w, double h,
                  std::optional<std::string> app = "Editor") {
  WindowInfo info;
  info.windowID = id;
  info.title = std::move(title);
  info.frame = {0, 0, w, h};
  if (app) info.owningApplication = RunningApplication{*app, "org.example." + *app, 100};
  return info;
}

class CaptureTargetsTest : public ::testing::Test {
 protected:
  nlohmann::json listed() {
    auto text = captureTargetsJSON(listCaptureTargets(ex, sim.screen()));
    return nlohmann::json::parse(text);  // throws on invalid JSON or UTF-8
  }
  static std::vector<uint32_t> ids(const nlohmann::json& list) {
    std::vector<uint32_t> ids;
    for (auto& e : list) ids.push_back(e["id"].get<uint32_t>());
    return ids;
  }

  ManualExecutor ex;
  SimPlatform sim{ex};
  qbtest::CapturedOutput out;
};

TEST_F(CaptureTargetsTest, DisplaysFirstThenTheWindowsThatPassEveryRule) {
  sim.screen().setDisplays({DisplayInfo{7, 1920, 1080}, DisplayInfo{3, 1280, 1024}});
  sim.screen().setWindows({
      window(10, "Notes", 100, 400),                                                        // not wider than 100
      window(11, "Small", 101, 101),                                                        // listed
      window(12, "Display 2 Backstop", 500, 500),                                           // backstop
      window(13, "Display 2 Backstop copy", 500, 500), window(14, std::nullopt, 500, 500),  // no title
      window(15, "", 500, 500),                                                             // empty title
      window(16, "Dock", 500, 500, "Dock"),                                                 // the shell's own
      window(17, "Wallpaper", 500, 500, "Wallpaper"), window(18, "Orphan", 640.9, 480.2, std::nullopt),
      window(19, "Display Backstop", 500, 500),  // no number: listed
  });
  auto list = listed();
  EXPECT_EQ(ids(list), (std::vector<uint32_t>{7, 3, 11, 13, 18, 19}));
  EXPECT_EQ(
      list[0],
      nlohmann::json(
          {{"type", "display"}, {"id", 7}, {"name", "Display 7"}, {"appName", ""}, {"width", 1920}, {"height", 1080}}));
  EXPECT_EQ(list[2]["bundleId"], "org.example.Editor");
  EXPECT_EQ(list[4], nlohmann::json({{"type", "window"},
                                     {"id", 18},
                                     {"name", "Orphan"},
                                     {"appName", ""},
                                     {"bundleId", ""},
                                     {"width", 640},
                                     {"height", 480}}));
  ASSERT_EQ(sim.screen().shareableQueries().size(), 1u);
  EXPECT_TRUE(sim.screen().shareableQueries()[0].onScreenWindowsOnly);
  EXPECT_FALSE(sim.screen().shareableQueries()[0].excludingDesktopWindows);

  // The text hosts read: one compact line, keys in order.
  sim.screen().setDisplays({DisplayInfo{1, 1920, 1080}});
  sim.screen().setWindows({window(42, "Editor", 800, 600, "editor")});
  EXPECT_EQ(captureTargetsJSON(listCaptureTargets(ex, sim.screen())),
            R"([{"appName":"","height":1080,"id":1,"name":"Display 1","type":"display","width":1920},)"
            R"({"appName":"editor","bundleId":"org.example.editor","height":600,"id":42,"name":"Editor",)"
            R"("type":"window","width":800}])");
}

TEST_F(CaptureTargetsTest, TitlesWithAnyBytesGiveValidJSON) {
  sim.screen().setWindows({window(1, std::string("bad \xff\xfe utf8 \"quoted\"\n\x01 tab\t", 27), 500, 500),
                           window(2, "cut \xe2\x82", 500, 500), window(3, "caf\xc3\xa9 \xf0\x9f\x8e\xa5", 500, 500)});
  auto list = listed();
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0]["name"], "bad \xef\xbf\xbd\xef\xbf\xbd utf8 \"quoted\"\n\x01 tab\t");
  EXPECT_EQ(list[1]["name"], "cut \xef\xbf\xbd");
  EXPECT_EQ(list[2]["name"], "caf\xc3\xa9 \xf0\x9f\x8e\xa5");  // valid text is kept as it is
}

TEST_F(CaptureTargetsTest, AFailedQueryIsLoggedAndListsNothing) {
  sim.screen().failNext(SimScreenOp::shareableContent, SimScreenCaptureService::makeError(-3801, "no X"));
  EXPECT_EQ(captureTargetsJSON(listCaptureTargets(ex, sim.screen())), "[]");
  EXPECT_THAT(out.lines(), ElementsAre("listCaptureTargets: error: Error Domain=SimScreenCapture Code=-3801 \"no X\""));
}

// Encodes an image as its size and first pixel, so a test sees what reached it.
class FakePNG final : public ImageEncoder {
 public:
  std::optional<std::vector<uint8_t>> encodePNG(const Image& image) override {
    images.push_back(image);
    if (fail) return std::nullopt;
    std::vector<uint8_t> png{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    png.resize(png.size() + bigPayload, 0xAB);
    return png;
  }
  std::vector<Image> images;
  bool fail = false;
  size_t bigPayload = 0;
};

TEST_F(CaptureTargetsTest, ScreenshotIsOneLineOfTheFirstDisplayAtItsSize) {
  sim.screen().setDisplays({DisplayInfo{5, 1024, 768}, DisplayInfo{1, 1920, 1080}});
  FakePNG png;
  png.bigPayload = 3 << 20;  // a large display's PNG is megabytes: still one line
  captureScreenshot(ex, sim.screen(), png);
  ASSERT_EQ(png.images.size(), 1u);
  EXPECT_EQ(png.images[0].width, 1024);
  EXPECT_EQ(png.images[0].height, 768);
  auto lines = out.lines();
  ASSERT_EQ(lines.size(), 1u);
  const std::string head = "CMD_RESPONSE:SCREENSHOT_DATA:";
  ASSERT_TRUE(lines[0].starts_with(head));
  EXPECT_TRUE(lines[0].substr(head.size()).starts_with("iVBORw0KGg"));  // the PNG signature
  EXPECT_EQ(lines[0].size(), head.size() + (8 + (3u << 20) + 2) / 3 * 4);
  EXPECT_TRUE(out.allNewlineTerminated());
}

TEST_F(CaptureTargetsTest, ScreenshotFailuresAreOnlyLogged) {
  FakePNG png;
  sim.screen().setDisplays({});
  captureScreenshot(ex, sim.screen(), png);
  sim.screen().setDisplays({DisplayInfo{1, 640, 480}});
  sim.screen().failNext(SimScreenOp::shareableContent, SimScreenCaptureService::makeError(-3801, "gone"));
  captureScreenshot(ex, sim.screen(), png);
  sim.screen().failNext(SimScreenOp::captureImage, SimScreenCaptureService::makeError(-3802, "denied"));
  captureScreenshot(ex, sim.screen(), png);
  png.fail = true;
  captureScreenshot(ex, sim.screen(), png);
  EXPECT_THAT(out.lines(),
              ElementsAre("ERROR: No displays found for screenshot",
                          "ERROR: Failed to capture screenshot: Error Domain=SimScreenCapture Code=-3801 \"gone\"",
                          "ERROR: Failed to capture screenshot: Error Domain=SimScreenCapture Code=-3802 \"denied\"",
                          "ERROR: Failed to convert screenshot to PNG"));
}

TEST(Base64, EncodesTheStandardAlphabetWithPadding) {
  auto enc = [](std::string_view s) { return base64Encode({reinterpret_cast<const uint8_t*>(s.data()), s.size()}); };
  EXPECT_EQ(enc(""), "");
  EXPECT_EQ(enc("f"), "Zg==");
  EXPECT_EQ(enc("fo"), "Zm8=");
  EXPECT_EQ(enc("foo"), "Zm9v");
  EXPECT_EQ(enc("foobar"), "Zm9vYmFy");
  const uint8_t high[] = {0xFB, 0xFF, 0xBF};
  EXPECT_EQ(base64Encode(high), "+/+/");
}

}  // namespace
