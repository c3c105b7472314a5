// Microphone, system audio and video on one clock, placed by the helper's timing lines as
// quellbrook-record --mux places them (MuxTimeline): a tone burst played into both audio
// channels at the moment a window flips colour lands within 30 ms of the flip, at the start
// and after a recording with a stall of the host and a sound-server restart in it.
// QB_ALIGNMENT_SECONDS (default 20) is how long the recording runs between the two flips;
// the long run takes 60.

#include <gtest/gtest.h>
#include <time.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "HelperProcess.hpp"
#include "MuxTimeline.hpp"
#include "clients/PipedChild.hpp"
#include "e2e/support/DecodedVideo.hpp"
#include "e2e/support/HelperUnderTest.hpp"
#include "e2e/support/LiveAudio.hpp"
#include "linux/TestWindowClient.hpp"
#include "linux/X11TestEnv.hpp"

using namespace qbtools;

namespace {

const std::string kBinary = qb::e2e::helperBinary();
constexpr double kTimeout = 10;
constexpr double kTolerance = 0.030;
constexpr uint32_t kAudioBytesPerSecond = 48000 * 2 * 2;

double monotonicSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// qb-test-burst on the speakers (the system audio channel) and the first microphone's feed.
class BurstPlayer {
 public:
  BurstPlayer() : client_({QB_BINARY_DIR "/qb-test-burst", "speakers", "mic1"}, -1) {
    ready_ = client_.pid() > 0 && client_.lines().waitFor("ready", 0, kTimeout);
  }
  bool ready() const { return ready_; }

  // Plays a burst from CLOCK_MONOTONIC second `at`; per sink, when it expects to play it.
  std::map<std::string, double> burst(double at) {
    const size_t from = client_.lines().size();
    std::map<std::string, double> played;
    if (!client_.send("burst " + std::to_string(at) + " 1000 0.2")) return played;
    for (const char* sink : {"speakers", "mic1"})
      if (auto line = client_.lines().waitFor(std::string("ok burst ") + sink + " ", from, kTimeout))
        played[sink] = std::stod(line->substr(line->rfind(' ') + 1));
    return played;
  }

 private:
  qbtest::PipedClient client_;
  bool ready_ = false;
};

struct Flip {
  double painted = 0;                   // when the window's paint was sent
  std::map<std::string, double> burst;  // when each sink played the burst
};

// Whether the centre of each picture of the video is red.
std::vector<bool> redCentres(const std::vector<Frame>& video, int width, int height) {
  std::vector<bool> red;
  const size_t centre = (size_t(height / 2) * width + width / 2) * 3;
  for (const auto& p : qb::testenv::decodePictures(video, width, height).value_or(std::vector<std::vector<uint8_t>>{}))
    red.push_back(p[centre] > 200 && p[centre + 1] < 60 && p[centre + 2] < 60);
  return red;
}

}  // namespace

TEST(MediaAlignmentE2E, ABurstAtAFlipLandsWithin30msOfItAtTheStartAndAfterAStallAndARestart) {
  QB_REQUIRE_TEST_DISPLAY();
  const char* env = std::getenv("QB_ALIGNMENT_SECONDS");
  const double seconds = env ? std::atof(env) : 20;
  qb::testenv::TestWindowClient window({"--title", "Flash", "--colour", "000000", "--geometry", "320x240+700+400"});
  ASSERT_TRUE(window.ok());

  struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool closed = false;
  };
  auto gate = std::make_shared<Gate>();
  HelperOptions options;
  options.binary = kBinary;
  options.onFrame = [gate](const Frame&) {  // the reader thread: blocking it is not reading
    std::unique_lock lock(gate->m);
    gate->cv.wait(lock, [&] { return !gate->closed; });
  };
  HelperProcess helper(options);
  auto answer = [&](const std::string& command, const std::string& prefix) {
    return helper.ask(command, prefix, kTimeout);
  };
  auto ofType = [](uint8_t type) { return [type](const Frame& f) { return f.type == type; }; };
  ASSERT_EQ(answer("START_STREAMING", "STREAMING:"), "STREAMING:started");
  ASSERT_EQ(answer("START_VIDEO:{\"type\":\"window\",\"id\":" + std::to_string(window.id()) +
                       ",\"width\":320,\"height\":240,\"fps\":30}",
                   "START_VIDEO:"),
            "START_VIDEO:started");
  ASSERT_TRUE(helper.waitForFrames(50, kTimeout, ofType(1)) && helper.waitForFrames(50, kTimeout, ofType(2)));
  auto burst = std::make_unique<BurstPlayer>();
  ASSERT_TRUE(burst->ready());

  std::vector<Flip> flips;
  auto flip = [&] {
    const double at = monotonicSeconds() + 0.5;
    Flip f;
    f.burst = burst->burst(at);
    ASSERT_EQ(f.burst.size(), 2u);
    ASSERT_TRUE(window.command("colour FF0000 " + std::to_string(at)));
    const auto painted = window.linesStartingWith("ok colour ").back();
    f.painted = std::stod(painted.substr(painted.rfind(' ') + 1));
    flips.push_back(f);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(window.command("colour 000000"));
  };
  flip();
  const double firstFlip = monotonicSeconds();

  // The host stops reading for four seconds, then the sound server restarts.
  {
    std::lock_guard lock(gate->m);
    gate->closed = true;
  }
  std::this_thread::sleep_for(std::chrono::seconds(4));
  {
    std::lock_guard lock(gate->m);
    gate->closed = false;
  }
  gate->cv.notify_all();
  burst.reset();
  ASSERT_TRUE(qb::e2e::testEnv({"restart-pulse"}).ok());
  for (uint8_t type : {1, 2}) {
    const size_t before = helper.frames().size();
    ASSERT_TRUE(helper.waitForFrames(50, 20, [&](const Frame& f) { return f.index >= before && f.type == type; }))
        << "channel " << int(type) << " did not come back";
  }
  burst = std::make_unique<BurstPlayer>();
  ASSERT_TRUE(burst->ready());
  std::this_thread::sleep_for(std::chrono::duration<double>(std::max(0.0, firstFlip + seconds - monotonicSeconds())));
  flip();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  helper.send("STOP");
  ASSERT_TRUE(helper.waitForExit(kTimeout));

  // Place every frame as the recorder does.
  const auto frames = helper.frames();
  std::vector<ArrivedFrame> arrived[3];
  std::vector<Frame> video;
  for (size_t i = 0; i < frames.size(); ++i) {
    const Frame& f = frames[i];
    if (f.type < 1 || f.type > 3) continue;
    arrived[f.type - 1].push_back({f.sequence, i, uint32_t(f.payload.size()), f.pts, f.isKeyframe()});
    if (f.isVideo()) video.push_back(f);
  }
  std::vector<AudioTiming> audioLines[2];
  std::vector<VideoTiming> videoLines;
  for (const auto& l : helper.linesOfKind(LineKind::event)) {
    if (auto a = parseAudioTiming(l.body)) audioLines[a->first - 1].push_back(a->second);
    if (auto v = parseVideoTiming(l.body)) videoLines.push_back(*v);
  }
  const std::vector<PlacedFrame> placed[3] = {placeAudio(arrived[0], kAudioBytesPerSecond, audioLines[0]),
                                              placeAudio(arrived[1], kAudioBytesPerSecond, audioLines[1]),
                                              placeVideo(arrived[2], 30, videoLines)};
  const auto red = redCentres(video, 320, 240);
  ASSERT_EQ(red.size(), video.size()) << "the video does not decode";
  std::map<uint64_t, size_t> videoIndex;  // frame index -> decoded picture
  for (size_t i = 0; i < video.size(); ++i) videoIndex[video[i].index] = i;

  for (size_t k = 0; k < flips.size(); ++k) {
    SCOPED_TRACE("flip " + std::to_string(k));
    const auto& f = flips[k];
    const int64_t paintedUs = std::llround(f.painted * 1e6);
    std::optional<int64_t> flipUs;
    for (const auto& p : placed[2])
      if (p.us >= paintedUs - 200000 && red[videoIndex[frames[p.offset].index]]) {
        flipUs = p.us;
        break;
      }
    ASSERT_TRUE(flipUs) << "no red picture";
    std::printf("flip %zu: picture captured %.1f ms after the paint\n", k, (*flipUs - paintedUs) / 1000.0);
    const std::pair<int, const char*> channels[] = {{0, "mic1"}, {1, "speakers"}};
    for (auto [channel, sink] : channels) {
      std::optional<int64_t> onsetUs;
      for (const auto& p : placed[channel]) {
        if (p.us < paintedUs - 300000 || p.us > paintedUs + 500000) continue;
        const auto& pcm = frames[p.offset].payload;
        for (size_t s = 0; s + 1 < pcm.size() && !onsetUs; s += 4)
          if (std::abs(int16_t(pcm[s] | pcm[s + 1] << 8)) > 8000) onsetUs = p.us + int64_t(s / 4) * 1000000 / 48000;
        if (onsetUs) break;
      }
      ASSERT_TRUE(onsetUs) << sink << ": no burst";
      const double error = (*onsetUs - *flipUs) / 1e6 - (f.burst.at(sink) - f.painted);
      std::printf("flip %zu: %s burst %.1f ms from the flip (played %.1f ms from the paint): off by %.1f ms\n", k, sink,
                  (*onsetUs - *flipUs) / 1000.0, (f.burst.at(sink) - f.painted) * 1000, error * 1000);
      EXPECT_LE(std::abs(error), kTolerance) << sink;
    }
  }
}
