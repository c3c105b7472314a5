// Screen video, listing and screenshot of the built helper on the test display, driven as a
// host drives it, with our own test windows. The video is decoded with ffmpeg.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "HelperProcess.hpp"
#include "e2e/support/HelperUnderTest.hpp"
#include "linux/TestWindowClient.hpp"
#include "linux/X11TestEnv.hpp"
#include "support/DecodedVideo.hpp"

using namespace qbtools;
using qb::testenv::centreOfLastPicture;
using qb::testenv::TestWindowClient;

namespace {

const std::string kBinary = qb::e2e::helperBinary();
constexpr double kTimeout = 10;

// The helper is built like this test. The address sanitizer holds freed memory in quarantine
// and shadows every byte, so the helper's resident size says nothing of what it keeps.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

class ScreenVideoE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    QB_REQUIRE_TEST_DISPLAY();
    HelperOptions options;
    options.binary = kBinary;
    helper = std::make_unique<HelperProcess>(options);
    ASSERT_TRUE(
        helper->waitForLine([](const Line& l) { return l.text == "Helper ready, waiting for commands..."; }, kTimeout));
  }
  void TearDown() override {
    if (!helper) return;
    if (HasFailure())
      for (const auto& l : helper->lines()) std::fprintf(stderr, "helper: %.300s\n", l.text.c_str());
    helper->send("STOP");
    helper->waitForExit(kTimeout);
  }

  std::string answer(const std::string& command, const std::string& prefix) {
    return helper->ask(command, prefix, kTimeout);
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
  // The first display of the helper's own listing, as a host picks it; 0 when there is none.
  uint32_t firstDisplay() {
    auto list = nlohmann::json::parse(answer("LIST_WINDOWS", "LIST_WINDOWS:").substr(13));
    return list.empty() ? 0 : list[0]["id"].get<uint32_t>();
  }
  // The whole job: a window gliding over the first display, both audio channels, and 1280x720
  // video of that display at `fps`. The window lives as long as the returned client.
  std::unique_ptr<TestWindowClient> startWholeJob(int fps) {
    auto moving = std::make_unique<TestWindowClient>(
        std::vector<std::string>{"--title", "Moving bars", "--pattern", "bars", "--geometry", "640x480+100+100"});
    EXPECT_TRUE(moving->ok() && moving->command("animate move 30"));
    const uint32_t display = firstDisplay();
    EXPECT_NE(display, 0u);
    EXPECT_EQ(answer("START_STREAMING", "STREAMING:"), "STREAMING:started");
    EXPECT_EQ(answer("START_VIDEO:{\"type\":\"display\",\"id\":" + std::to_string(display) +
                         ",\"width\":1280,\"height\":720,\"fps\":" + std::to_string(fps) + "}",
                     "START_VIDEO:"),
              "START_VIDEO:started");
    return moving;
  }
  bool waitForLog(const std::string& text, uint64_t from = 0) {
    return bool(helper->waitForLine([&](const Line& l) { return l.text.starts_with(text); }, kTimeout, from));
  }

  std::unique_ptr<HelperProcess> helper;
};

TEST_F(ScreenVideoE2E, DisplayThenWindowThenTheWindowClosesAndANewStartWorks) {
  TestWindowClient moving({"--title", "Moving bars", "--pattern", "bars", "--geometry", "400x300+40+40"});
  TestWindowClient red({"--title", "Red target", "--colour", "FF0000", "--geometry", "320x240+600+300"});
  ASSERT_TRUE(moving.ok() && red.ok());
  ASSERT_TRUE(moving.command("animate content 30"));

  // The listing offers the display and both windows, with their titles.
  auto list = nlohmann::json::parse(answer("LIST_WINDOWS", "LIST_WINDOWS:").substr(13));
  ASSERT_FALSE(list.empty());
  ASSERT_EQ(list[0]["type"], "display");
  const uint32_t display = list[0]["id"];
  auto entry = [&](uint32_t id) {
    for (auto& e : list)
      if (e["type"] == "window" && e["id"] == id) return e;
    return nlohmann::json();
  };
  EXPECT_EQ(entry(red.id())["name"], "Red target");
  EXPECT_EQ(entry(moving.id())["name"], "Moving bars");
  EXPECT_FALSE(entry(red.id())["appName"].get<std::string>().empty());

  const int w = 640, h = 360;
  EXPECT_EQ(answer("START_VIDEO:{\"type\":\"display\",\"id\":" + std::to_string(display) +
                       ",\"width\":640,\"height\":360,\"fps\":10}",
                   "START_VIDEO:"),
            "START_VIDEO:started");
  // 2.5 s of moving content. Pacing and keyframes are the video source's and the encoder's
  // tests; here, that the real display's video reaches the host and decodes.
  ASSERT_TRUE(waitForVideo(25));
  auto f = videoFrames();
  EXPECT_TRUE(f[0].isKeyframe());
  for (size_t i = 0; i < f.size(); ++i) {
    EXPECT_EQ(f[i].width, w) << i;
    EXPECT_EQ(f[i].height, h) << i;
    EXPECT_EQ(f[i].sequence, i);
  }
  EXPECT_TRUE(centreOfLastPicture(f, w, h).has_value()) << "the display video does not decode";

  // Switched to the red window: a keyframe next, counting on, and the picture is red.
  const size_t before = videoFrames().size();
  EXPECT_EQ(answer("SWITCH_VIDEO:{\"type\":\"window\",\"id\":" + std::to_string(red.id()) + "}", "SWITCH_VIDEO:"),
            "SWITCH_VIDEO:switched");
  ASSERT_TRUE(waitForVideo(videoFrames().size() + 1));
  ASSERT_TRUE(red.command("colour FF0000"));  // a change, so that a further picture comes
  f = videoFrames();
  auto afterSwitch = std::find_if(f.begin() + long(before), f.end(), [](const Frame& x) { return x.isKeyframe(); });
  ASSERT_NE(afterSwitch, f.end());
  for (size_t i = 1; i < f.size(); ++i) {
    EXPECT_EQ(f[i].sequence, f[i - 1].sequence + 1);
    EXPECT_GT(f[i].pts, f[i - 1].pts);
  }
  auto centre = centreOfLastPicture(f, w, h);
  ASSERT_TRUE(centre);
  EXPECT_GT((*centre)[0], 200);
  EXPECT_LT((*centre)[1], 60);
  EXPECT_LT((*centre)[2], 60);

  // The window goes away: the capture ends on its own and says so, and the next START_VIDEO works.
  const uint64_t from = helper->lineCount();
  red.kill();
  ASSERT_TRUE(waitForLog("EVENT:VIDEO_STOPPED:", from));
  auto stopped = nlohmann::json::parse(helper->linesOfKind(LineKind::event).back().text.substr(20));
  EXPECT_EQ(stopped["reason"], "windowClosed");
  EXPECT_EQ(stopped["id"], red.id());
  EXPECT_EQ(answer("START_VIDEO:{\"type\":\"display\",\"id\":" + std::to_string(display) +
                       ",\"width\":640,\"height\":360,\"fps\":10}",
                   "START_VIDEO:"),
            "START_VIDEO:started");
  EXPECT_TRUE(waitForLog("ScreenVideoSource: cleaning up dead video source before restart", from));
  EXPECT_EQ(answer("STOP_VIDEO", "STOP_VIDEO:"), "STOP_VIDEO:stopped");
  EXPECT_EQ(answer("STOP_VIDEO", "STOP_VIDEO:"), "STOP_VIDEO:not_active");
  EXPECT_EQ(helper->protocolError(), "");
}

// A host that stops reading standard output for a while: the helper's memory stays put,
// pictures are skipped before the encoder (the video's sequence has no holes, so it stays
// decodable), audio waits in its rings and none of it is lost once the host reads again.
TEST_F(ScreenVideoE2E, AHostThatStopsReadingLosesNoAudioAndTheVideoStaysWhole) {
  struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool closed = false;
  };
  auto gate = std::make_shared<Gate>();
  helper->send("STOP");
  helper->waitForExit(kTimeout);
  HelperOptions options;
  options.binary = kBinary;
  options.onFrame = [gate](const Frame&) {  // the reader thread: blocking it is not reading
    std::unique_lock lock(gate->m);
    gate->cv.wait(lock, [&] { return !gate->closed; });
  };
  helper = std::make_unique<HelperProcess>(options);
  ASSERT_TRUE(waitForLog("Helper ready, waiting for commands..."));
  auto rssKiB = [this] {
    std::ifstream status("/proc/" + std::to_string(helper->pid()) + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
    return 0L;
  };

  const auto moving = startWholeJob(30);
  ASSERT_FALSE(HasFailure());
  ASSERT_TRUE(waitForVideo(30));
  const long before = rssKiB();
  const uint64_t linesBefore = helper->lineCount();
  {
    std::lock_guard lock(gate->m);
    gate->closed = true;
  }
  // Four seconds of not reading: far more than the pipe holds, far less than the audio rings.
  std::this_thread::sleep_for(std::chrono::seconds(4));
  const long stalled = rssKiB();
  const size_t framesAtStall = helper->frameCount();
  {
    std::lock_guard lock(gate->m);
    gate->closed = false;
  }
  gate->cv.notify_all();
  if (!kAddressSanitizer) {
    EXPECT_LT(stalled - before, 16 * 1024) << "grew from " << before << " KiB to " << stalled << " KiB";
  }
  EXPECT_TRUE(helper->waitForLine(
      [](const Line& l) {
        return l.text.starts_with("ScreenVideoSource: skipped") && l.text.ends_with("while standard output was behind");
      },
      kTimeout, linesBefore));
  // Caught up: video comes again at its rate and a second of audio follows the backlog.
  EXPECT_TRUE(waitForVideo(videoFrames().size() + 30));
  EXPECT_TRUE(helper->waitForFrames(framesAtStall + 4 * 100 + 100, kTimeout));
  EXPECT_EQ(answer("STOP_VIDEO", "STOP_VIDEO:"), "STOP_VIDEO:stopped");

  std::map<int, std::vector<const Frame*>> byType;
  const auto frames = helper->frames();
  for (auto& f : frames) byType[f.type].push_back(&f);
  for (int type : {1, 2, 3}) {
    SCOPED_TRACE(type);
    const auto& seq = byType[type];
    ASSERT_GT(seq.size(), type == 3 ? 55u : 200u);  // 30 + 30 pictures; the stall alone held 200 audio frames
    for (size_t i = 1; i < seq.size(); ++i) ASSERT_EQ(seq[i]->sequence, seq[i - 1]->sequence + 1) << "lost at " << i;
  }
  const auto& video = byType[3];
  for (size_t i = 1; i < video.size(); ++i) ASSERT_GT(video[i]->pts, video[i - 1]->pts);
  EXPECT_EQ(helper->protocolError(), "");
}

// The reference host records the screen and both audio channels into one Matroska file.
TEST_F(ScreenVideoE2E, RecorderMuxesVideoAndBothAudioChannelsIntoOneFile) {
  TestWindowClient moving({"--title", "Moving bars", "--pattern", "bars", "--geometry", "400x300+40+40"});
  ASSERT_TRUE(moving.ok());
  ASSERT_TRUE(moving.command("animate move 30"));
  const uint32_t display = firstDisplay();
  ASSERT_NE(display, 0u);
  const auto dir = std::filesystem::temp_directory_path() / ("qb-e2e-mux-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string mkv = (dir / "all.mkv").string(), log = (dir / "record.log").string();
  const std::string record = QB_BINARY_DIR "/quellbrook-record --binary " + kBinary + " --seconds 3 --out " +
                             dir.string() + " --mux " + mkv +
                             " START_STREAMING 'START_VIDEO:{\"type\":\"display\",\"id\":" + std::to_string(display) +
                             ",\"width\":640,\"height\":360,\"fps\":10}' 2>" + log;
  const int status = std::system(record.c_str());
  const auto probe = qb::testenv::run("ffprobe -v error -show_streams -show_packets -of json " + mkv);
  const auto decoded = qb::testenv::run("ffmpeg -v error -i " + mkv + " -map 0:v -f framemd5 -");
  const std::string recorderLog = qb::testenv::run("cat " + log).value_or("");
  std::filesystem::remove_all(dir);
  ASSERT_EQ(status, 0) << recorderLog;
  ASSERT_TRUE(probe && decoded) << recorderLog;

  const auto j = nlohmann::json::parse(*probe);
  ASSERT_EQ(j["streams"].size(), 3u);
  int videoIndex = -1, audioStreams = 0;
  for (const auto& s : j["streams"]) {
    if (s["codec_type"] == "video") {
      videoIndex = s["index"];
      EXPECT_EQ(s["codec_name"], "h264");
      EXPECT_EQ(s["width"], 640);
      EXPECT_EQ(s["height"], 360);
    } else {
      ++audioStreams;
      EXPECT_EQ(s["codec_name"], "pcm_s16le");
      EXPECT_EQ(s["sample_rate"], "48000");
      EXPECT_EQ(s["channels"], 2);
    }
  }
  ASSERT_GE(videoIndex, 0);
  EXPECT_EQ(audioStreams, 2);

  // Per stream, times only increase. Where the tracks lie against each other is MediaAlignmentTest's
  // measure, of the same placement (MuxTimeline).
  std::map<int, double> last;
  std::map<int, size_t> packets;
  for (const auto& p : j["packets"]) {
    const int index = p["stream_index"];
    const double t = std::stod(p["pts_time"].get<std::string>());
    if (last.count(index)) {
      EXPECT_GT(t, last[index]) << "stream " << index;
    }
    last[index] = t;
    ++packets[index];
  }
  ASSERT_EQ(last.size(), 3u);

  // Every video packet decodes to a picture.
  size_t frameLines = 0;
  std::istringstream in(*decoded);
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != '#') ++frameLines;
  EXPECT_EQ(frameLines, packets[videoIndex]);
}

TEST_F(ScreenVideoE2E, ScreenshotIsAPNGOfTheDisplaySizeWithTheCursorWhereThePointerIs) {
  // A plain window, clear of the environment's own windows, with the pointer inside it: only the
  // cursor can differ from its colour.
  TestWindowClient plain({"--title", "Plain green", "--colour", "00FF00", "--geometry", "200x200+250+600"});
  ASSERT_TRUE(plain.ok());
  ASSERT_TRUE(plain.command("pointer 100 100"));  // answered once the server has moved it
  // Where the window's content lies: a window manager's frame shifts it from the asked place.
  const std::string info = qb::testenv::run("xwininfo -id " + std::to_string(plain.id())).value_or("");
  const auto corner = [&](const std::string& field) {
    const size_t at = info.find(field);
    return at == std::string::npos ? -1000 : std::atoi(info.c_str() + at + field.size());
  };
  const int pointerX = corner("Absolute upper-left X:") + 100, pointerY = corner("Absolute upper-left Y:") + 100;
  ASSERT_GE(pointerX, 100) << info;

  auto list = nlohmann::json::parse(answer("LIST_WINDOWS", "LIST_WINDOWS:").substr(13));
  ASSERT_FALSE(list.empty());
  const int width = list[0]["width"], height = list[0]["height"];
  const std::string body = answer("SCREENSHOT", "SCREENSHOT_DATA:");
  ASSERT_TRUE(body.starts_with("SCREENSHOT_DATA:"));
  const auto path = std::filesystem::temp_directory_path() / ("qb-e2e-" + std::to_string(::getpid()) + ".b64");
  std::ofstream(path) << body.substr(16);
  const std::string rgb = qb::testenv::run("base64 -d " + path.string() +
                                           " | ffmpeg -v error -f png_pipe -i - -f rawvideo -pix_fmt rgb24 -")
                              .value_or("");
  std::filesystem::remove(path);

  // A PNG (PngImageEncoderTest has its bytes) of the display's size.
  ASSERT_EQ(rgb.size(), size_t(width) * size_t(height) * 3) << "the PNG does not decode to the display size";

  const auto green = [&](int x, int y) {
    const auto* p = reinterpret_cast<const uint8_t*>(rgb.data()) + (size_t(y) * size_t(width) + size_t(x)) * 3;
    return p[0] < 8 && p[1] > 247 && p[2] < 8;
  };
  // The cursor's hotspot sits on the pointer, and the cursor is more than a dot.
  EXPECT_FALSE(green(pointerX, pointerY)) << "no cursor at the pointer";
  int cursorPixels = 0;
  for (int y = pointerY - 16; y < pointerY + 16; ++y)
    for (int x = pointerX - 16; x < pointerX + 16; ++x) cursorPixels += !green(x, y);
  EXPECT_GT(cursorPixels, 20);
  // Well away from it, the window is untouched.
  for (int d : {-60, -40, 40, 60}) {
    EXPECT_TRUE(green(pointerX + d, pointerY)) << d;
    EXPECT_TRUE(green(pointerX, pointerY + d)) << d;
    EXPECT_TRUE(green(pointerX + d, pointerY + d)) << d;
  }
}

}  // namespace
