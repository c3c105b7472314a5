// The screen video source on the simulated platform, in virtual time: what reaches
// standard output, the log, and what is left running after each outcome.

#include "screen/ScreenVideoSource.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "ProtocolReader.hpp"
#include "host/HostTestSupport.hpp"
#include "platform/sim/SimPlatform.hpp"
#include "runtime/ManualExecutor.hpp"

using namespace qb;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

constexpr uint32_t kWindow = 42;

class ScreenVideoSourceTest : public ::testing::Test {
 protected:
  ScreenVideoSourceTest() { setScene(); }
  // Two displays and one window.
  void setScene() {
    sim.screen().setDisplays({DisplayInfo{1, 1920, 1080}, DisplayInfo{2, 1280, 1024}});
    WindowInfo w;
    w.windowID = kWindow;
    w.title = "Editor";
    w.frame = {10, 10, 800, 600};
    sim.screen().setWindows({w});
  }
  ~ScreenVideoSourceTest() override {
    if (source) source->stop();
    source.reset();
    ex.runUntilIdle();
  }

  std::shared_ptr<ScreenVideoSource> make(int64_t w = 1280, int64_t h = 720, int64_t fps = 10,
                                          int64_t bitrate = 2000000) {
    source = ScreenVideoSource::make(sim.platform(), {w, h, fps, bitrate});
    return source;
  }

  std::string startError(const std::string& type, uint32_t id) {
    auto e = source->start({type, id, {}});
    return e ? describe(*e) : "";
  }
  std::string switchError(const std::string& type, uint32_t id) {
    auto e = source->switchTarget({type, id, {}});
    return e ? describe(*e) : "";
  }

  // Every video frame written so far.
  std::vector<qbtools::Frame> frames() {
    qbtools::FrameParser parser;
    auto all = parser.feed(out.stdoutBytes());
    EXPECT_FALSE(parser.failed()) << parser.error();
    EXPECT_EQ(parser.pendingBytes(), 0u);
    return all;
  }
  std::vector<std::string> videoLog() {
    std::vector<std::string> l;
    for (auto& line : out.lines())
      if (line.starts_with("ScreenVideoSource: ")) l.push_back(line.substr(19));
    return l;
  }
  // No stream is capturing and the source holds no encoder that could still output.
  void expectNothingRunning() {
    for (auto& s : sim.screen().liveStreams()) EXPECT_FALSE(s->isCapturing()) << "stream " << s->serial();
    const auto before = sim.videoEncoders().counters().framesSubmitted;
    ex.advance(1);
    EXPECT_EQ(sim.videoEncoders().counters().framesSubmitted, before);
  }

  ManualExecutor ex;
  SimPlatform sim{ex};
  qbtest::CapturedOutput out;
  std::shared_ptr<ScreenVideoSource> source;
};

TEST_F(ScreenVideoSourceTest, StartStreamsKeyframeFirstThenEveryFrameInterval) {
  make(1280, 720, 10, 2500000);
  ASSERT_EQ(startError("display", 2), "");
  EXPECT_TRUE(source->isActive());
  ex.advance(2.05);

  auto f = frames();
  ASSERT_GE(f.size(), 20u);
  for (size_t i = 0; i < f.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(f[i].isVideo());
    EXPECT_EQ(f[i].type, 3);
    EXPECT_EQ(f[i].width, 1280);
    EXPECT_EQ(f[i].height, 720);
    EXPECT_EQ(f[i].fps, 10);
    EXPECT_EQ(f[i].sequence, i);
    EXPECT_EQ(f[i].pts, i * 100000);
    EXPECT_EQ(f[i].isKeyframe(), i % 10 == 0);  // forced first, then one a second
  }
  const EncoderSettings settings{1280, 720, 10, 2500000};
  auto sps = SimVideoEncoder::spsFor(settings), pps = SimVideoEncoder::ppsFor(settings);
  std::vector<uint8_t> head{0, 0, 0, 1};
  head.insert(head.end(), sps.begin(), sps.end());
  head.insert(head.end(), {0, 0, 0, 1});
  head.insert(head.end(), pps.begin(), pps.end());
  head.insert(head.end(), {0, 0, 0, 1, 0x65});
  EXPECT_TRUE(std::equal(head.begin(), head.end(), f[0].payload.begin()));
  EXPECT_EQ(std::vector<uint8_t>(f[1].payload.begin(), f[1].payload.begin() + 5),
            (std::vector<uint8_t>{0, 0, 0, 1, 0x41}));

  EXPECT_THAT(videoLog(), ElementsAre("starting capture (1280x720 @10fps, 2500kbps)",
                                      "H264 encoder created (Main Profile, 2500kbps, IDR every 10 frames)",
                                      "started successfully"));
  auto stream = sim.screen().latestStream();
  const auto& c = stream->configuration();
  EXPECT_EQ(c.width, 1280);
  EXPECT_EQ(c.height, 720);
  EXPECT_EQ(c.minimumFrameIntervalValue, 1);
  EXPECT_EQ(c.minimumFrameIntervalTimescale, 10);
  EXPECT_EQ(c.pixelFormat, kPixelFormat420v);
  EXPECT_TRUE(c.showsCursor);
  EXPECT_FALSE(c.capturesAudio);
  EXPECT_EQ(stream->filter().displayID, 2u);
  ASSERT_EQ(sim.screen().shareableQueries().size(), 1u);
  EXPECT_FALSE(sim.screen().shareableQueries()[0].onScreenWindowsOnly);
  EXPECT_EQ(sim.videoEncoders().lastSettings()->bitrate, 2500000);

  // Started again, the source does nothing more.
  ASSERT_EQ(startError("display", 1), "");
  EXPECT_EQ(videoLog().back(), "already active");
  EXPECT_EQ(sim.screen().counters().streamsCreated, 1);
}

TEST_F(ScreenVideoSourceTest, AnyTypeButDisplayLooksForAWindow) {
  make();
  EXPECT_EQ(startError("display", 5), "targetNotFound(\"Display 5 not found\")");
  EXPECT_EQ(startError("window", 7), "targetNotFound(\"Window 7 not found\")");
  EXPECT_EQ(startError("display", kWindow), "targetNotFound(\"Display 42 not found\")");
  EXPECT_EQ(startError("screen", 0), "targetNotFound(\"Window 0 not found\")");
  EXPECT_FALSE(source->isActive());
  EXPECT_EQ(sim.screen().counters().streamsCreated, 0);
  EXPECT_EQ(sim.videoEncoders().counters().encodersCreated, 0);

  ASSERT_EQ(startError("screen", kWindow), "");
  EXPECT_EQ(sim.screen().latestStream()->filter().kind, ContentFilter::Kind::window);
  EXPECT_EQ(sim.screen().latestStream()->filter().windowID, kWindow);
  source->stop();

  // Display ids are never 0: display 0, START_VIDEO's default, is the first display.
  ASSERT_EQ(startError("display", 0), "");
  EXPECT_EQ(sim.screen().latestStream()->filter().kind, ContentFilter::Kind::display);
  EXPECT_EQ(sim.screen().latestStream()->filter().displayID, 1u);
  source->stop();
  sim.screen().setDisplays({});
  EXPECT_EQ(startError("display", 0), "targetNotFound(\"Display 0 not found\")");
}

TEST_F(ScreenVideoSourceTest, FailedStartsLeaveNothingRunningAndAStartAfterwardsWorks) {
  make();
  sim.screen().failNext(SimScreenOp::shareableContent, SimScreenCaptureService::makeError(-3801, "no content"));
  EXPECT_EQ(startError("display", 1), "Error Domain=SimScreenCapture Code=-3801 \"no content\"");

  sim.videoEncoders().failNextCreate(-12902);
  EXPECT_EQ(startError("display", 1), "encoderCreationFailed(-12902)");

  sim.screen().failNext(SimScreenOp::addStreamOutput, SimScreenCaptureService::makeError(-3802, "no output"));
  EXPECT_EQ(startError("display", 1), "Error Domain=SimScreenCapture Code=-3802 \"no output\"");

  sim.screen().failNext(SimScreenOp::startCapture, SimScreenCaptureService::makeError(-3803, "no start"));
  EXPECT_EQ(startError("display", 1), "Error Domain=SimScreenCapture Code=-3803 \"no start\"");

  // The stream dies before its start completes: start fails with that error.
  sim.screen().setDelay(SimScreenOp::startCapture, 0.5);
  ex.runAsyncAfter(0.2, [this] { sim.screen().latestStream()->stopWithError(-3815, "display gone"); });
  EXPECT_EQ(startError("display", 1), "Error Domain=SimScreenCapture Code=-3815 \"display gone\"");
  EXPECT_FALSE(source->isActive());
  expectNothingRunning();
  EXPECT_EQ(frames().size(), 0u);

  sim.screen().setDelay(SimScreenOp::startCapture, 0);
  ASSERT_EQ(startError("display", 1), "");
  ex.advance(0.35);
  EXPECT_EQ(frames().size(), 4u);  // one at the start, then one every 100 ms
}

TEST_F(ScreenVideoSourceTest, SettingsThatCannotBeEncodedAreRefusedBeforeAnythingStarts) {
  struct Case {
    int64_t w, h, fps, bitrate;
    const char* error;
  };
  const Case cases[] = {
      {0, 1080, 10, 2000000, "Invalid size 0x1080: width and height must be positive"},
      {1920, -2, 10, 2000000, "Invalid size 1920x-2: width and height must be positive"},
      {65536, 1080, 10, 2000000,
       "Invalid size 65536x1080: H.264 allows at most 8192 pixels a side and 139264 macroblocks a picture"},
      {8192, 8192, 10, 2000000,
       "Invalid size 8192x8192: H.264 allows at most 8192 pixels a side and 139264 macroblocks a picture"},
      {1279, 720, 10, 2000000, "Invalid size 1279x720: width and height must be even for 4:2:0 video"},
      {1920, 1080, 0, 2000000, "Invalid frame rate 0: it must lie in 1...255"},
      {1920, 1080, 256, 2000000, "Invalid frame rate 256: it must lie in 1...255"},
      {1920, 1080, 10, 0, "Invalid bit rate 0: it must be positive"},
      {1920, 1080, 10, -5, "Invalid bit rate -5: it must be positive"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    make(c.w, c.h, c.fps, c.bitrate);
    EXPECT_EQ(startError("display", 1), std::string("invalidSettings(\"") + c.error + "\")");
    EXPECT_FALSE(source->isActive());
  }
  EXPECT_TRUE(videoLog().empty());
  EXPECT_EQ(sim.screen().counters().shareableContentQueries, 0);
  EXPECT_EQ(sim.videoEncoders().counters().encodersCreated, 0);

  // The edges that fit.
  for (auto [w, h, fps] : {std::tuple{2, 2, 1}, {8192, 4320, 255}}) {
    make(w, h, fps, 1);
    EXPECT_EQ(startError("display", 1), "");
    source->stop();
  }
}

TEST_F(ScreenVideoSourceTest, StopFlushesTheEncoderAndIsQuietWhenInactive) {
  make();
  source->stop();
  EXPECT_TRUE(videoLog().empty());

  sim.videoEncoders().setEncodeTime(0.25);  // frames are still in the encoder at the stop
  ASSERT_EQ(startError("display", 1), "");
  ex.advance(0.45);
  const auto submitted = sim.videoEncoders().counters().framesSubmitted;
  ASSERT_GE(submitted, 3);
  ASSERT_LT(frames().size(), static_cast<size_t>(submitted));
  auto stream = sim.screen().latestStream();
  source->stop();
  EXPECT_FALSE(source->isActive());
  EXPECT_EQ(frames().size(), static_cast<size_t>(submitted));  // every submitted frame written
  auto l = videoLog();
  EXPECT_THAT(std::vector(l.end() - 2, l.end()), ElementsAre("stopping...", "stopped"));
  EXPECT_EQ(sim.screen().counters().captureStops, 1);
  EXPECT_FALSE(stream->hasOutput(StreamOutputType::screen));
  expectNothingRunning();

  // A stopped source starts again: new origin, sequence from 0, a keyframe first.
  sim.videoEncoders().setEncodeTime(0);
  const size_t before = frames().size();
  ASSERT_EQ(startError("display", 1), "");
  ex.advance(0.25);
  auto f = frames();
  ASSERT_EQ(f.size(), before + 3);
  EXPECT_EQ(f[before].sequence, 0u);
  EXPECT_EQ(f[before].pts, 0u);
  EXPECT_TRUE(f[before].isKeyframe());
  EXPECT_EQ(f[before + 1].pts, 100000u);
}

TEST_F(ScreenVideoSourceTest, SwitchChecksInOrderAndLeavesTheStreamOnAFailure) {
  make();
  EXPECT_EQ(switchError("screen", 0), "targetNotFound(\"No active stream\")");
  ASSERT_EQ(startError("display", 1), "");
  EXPECT_EQ(switchError("screen", 0), "targetNotFound(\"Invalid target type: screen\")");
  EXPECT_EQ(switchError("window", 0), "targetNotFound(\"Invalid target ID: 0\")");
  EXPECT_EQ(switchError("window", 99), "targetNotFound(\"Window 99 not found\")");
  EXPECT_EQ(switchError("display", 3), "targetNotFound(\"Display 3 not found\")");
  sim.screen().failNext(SimScreenOp::updateContentFilter, SimScreenCaptureService::makeError(-3802, "refused"));
  EXPECT_EQ(switchError("window", kWindow), "Error Domain=SimScreenCapture Code=-3802 \"refused\"");
  EXPECT_EQ(sim.screen().latestStream()->filter().displayID, 1u);
  EXPECT_TRUE(source->isActive());

  // A second switch while the first waits for the platform.
  sim.screen().setDelay(SimScreenOp::updateContentFilter, 0.5);
  std::string second;
  ex.runAsyncAfter(0.1, [&] { second = switchError("display", 2); });
  EXPECT_EQ(switchError("window", kWindow), "");
  EXPECT_EQ(second, "targetNotFound(\"Switch already in progress\")");
  // ...and once it is over, switching works again.
  EXPECT_EQ(switchError("display", 2), "");
  EXPECT_EQ(sim.screen().latestStream()->filter().displayID, 2u);
}

TEST_F(ScreenVideoSourceTest, AfterASwitchTheNextFrameIsAKeyframeAndCountingContinues) {
  make();
  ASSERT_EQ(startError("display", 1), "");
  ex.advance(0.35);
  const size_t before = frames().size();
  ASSERT_EQ(switchError("window", kWindow), "");
  EXPECT_EQ(videoLog().back(), "switched to window:42");
  ex.advance(0.3);
  auto f = frames();
  ASSERT_GE(f.size(), before + 2);
  EXPECT_TRUE(f[before].isKeyframe());
  EXPECT_FALSE(f[before + 1].isKeyframe());
  for (size_t i = 0; i < f.size(); ++i) EXPECT_EQ(f[i].sequence, i);
  for (size_t i = 1; i < f.size(); ++i) EXPECT_GE(f[i].pts, f[i - 1].pts + 100000);  // no jump back to 0
  EXPECT_EQ(sim.screen().counters().streamsCreated, 1);                              // the same stream, refiltered
  EXPECT_EQ(sim.videoEncoders().counters().encodersCreated, 1);
}

TEST_F(ScreenVideoSourceTest, EncoderOutputErrorsAreLoggedAndUseNoSequenceNumber) {
  make();
  ASSERT_EQ(startError("display", 1), "");
  ex.advance(0.15);
  sim.videoEncoders().failNextOutputs(-12903, 2);
  ex.advance(0.4);
  auto f = frames();
  ASSERT_EQ(f.size(), 4u);  // pictures 0, 1, 4 and 5; 2 and 3 failed
  for (size_t i = 0; i < f.size(); ++i) EXPECT_EQ(f[i].sequence, i);
  EXPECT_EQ(f[2].pts, 400000u);
  EXPECT_TRUE(f[2].isKeyframe());  // what the lost frames would have led up to is gone
  EXPECT_FALSE(f[3].isKeyframe());
  auto l = videoLog();
  EXPECT_EQ(std::count(l.begin(), l.end(), "encoder output error -12903"), 2);
}

TEST_F(ScreenVideoSourceTest, ACaptureThatEndsOnItsOwnStopsTheSourceAndSaysWhyOnce) {
  struct Case {
    const char* type;  // what is captured
    std::function<void()> end;
    const char* reason;
    uint32_t id;
    const char* error;
  };
  const Case cases[] = {
      {"window", [this] { sim.screen().removeWindow(kWindow); }, "windowClosed", kWindow,
       "Error Domain=SimScreenCapture Code=-3815 \"The window is no longer available\""},
      {"display", [this] { sim.screen().removeDisplay(2); }, "displayRemoved", 2,
       "Error Domain=SimScreenCapture Code=-3815 \"The display is no longer available\""},
      {"display", [this] { sim.screen().loseDisplayServer(); }, "connectionLost", 2,
       "Error Domain=SimScreenCapture Code=-3821 \"The connection to the display server was lost\""},
      {"display", [this] { sim.screen().stopCapturingStreamsWithError(-3802, "broken"); }, "failed", 2,
       "Error Domain=SimScreenCapture Code=-3802 \"broken\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    setScene();
    make();
    // A window run that was switched from a display reports the window.
    ASSERT_EQ(startError("display", c.type == std::string("window") ? 1 : 2), "");
    if (c.type == std::string("window")) {
      ASSERT_EQ(switchError("window", kWindow), "");
    }
    ex.advance(0.25);
    const size_t before = out.lines().size();
    c.end();
    ex.runUntilIdle();
    EXPECT_FALSE(source->isActive());
    auto l = out.linesFrom(before);
    std::vector<std::string> events;
    for (auto& line : l)
      if (line.starts_with("EVENT:")) events.push_back(line);
    ASSERT_EQ(events.size(), 1u);
    ASSERT_TRUE(events[0].starts_with("EVENT:VIDEO_STOPPED:")) << events[0];
    EXPECT_EQ(nlohmann::json::parse(events[0].substr(20)),
              nlohmann::json({{"reason", c.reason}, {"type", c.type}, {"id", c.id}, {"error", c.error}}));
    EXPECT_EQ(l.back(), events[0]);  // after the source has stopped
    expectNothingRunning();
    EXPECT_EQ(switchError("display", 1), "targetNotFound(\"No active stream\")");
  }

  // A stale stream's late error does not touch a new run, and a stop of the host's own says
  // nothing.
  ASSERT_EQ(startError("display", 1), "");
  auto old = sim.screen().latestStream();
  source->stop();
  ASSERT_EQ(startError("display", 1), "");
  const size_t before = out.lines().size();
  old->stopWithError(-3815, "late");
  ex.advance(0.3);
  EXPECT_TRUE(source->isActive());
  source->stop();
  ex.runUntilIdle();
  for (auto& line : out.linesFrom(before)) EXPECT_FALSE(line.starts_with("EVENT:VIDEO_STOPPED")) << line;
}

// Pictures come only on change; the stream must still let a host start decoding within a
// second of presentation time, and say where its pts lie on the capture clock.
TEST_F(ScreenVideoSourceTest, KeyframesAtLeastOnceASecondAndOneTimingLinePerRun) {
  // Runs of changes, each one picture, at these seconds after the start, and whether each
  // is a keyframe; the encoder adds its own every fps pictures.
  struct Run {
    int64_t fps;
    std::vector<std::pair<double, bool>> changes;
  };
  const Run runs[] = {
      {10, {{0.4, false}, {0.9, false}, {1.5, true}, {1.6, false}, {2.55, true}, {2.7, false}}},
      {2, {{0.5, false}, {1.0, true}, {1.6, false}}},  // a second counts from the encoder's own
  };
  sim.screen().setContentMoving(false);
  for (size_t run = 0; run < std::size(runs); ++run) {
    const double startedAt = ex.clock().uptime();
    const size_t before = frames().size();
    make(1280, 720, runs[run].fps);
    ASSERT_EQ(startError("display", 1), "");
    double at = 0;
    for (auto [when, keyframe] : runs[run].changes) {
      ex.advance(when - at);
      sim.screen().paint(ContentFilter::forDisplay(1), 0xFF000000u + static_cast<uint32_t>(when * 100));
      ex.runUntilIdle();
      at = when;
    }
    source->stop();
    auto f = frames();
    f.erase(f.begin(), f.begin() + before);
    const auto& changes = runs[run].changes;
    ASSERT_EQ(f.size(), changes.size() + 1);  // the first picture, then one per change
    EXPECT_TRUE(f[0].isKeyframe());
    for (size_t i = 0; i < changes.size(); ++i) {
      EXPECT_EQ(f[i + 1].pts, static_cast<uint64_t>(std::llround(changes[i].first * 1e6))) << i;
      EXPECT_EQ(f[i + 1].isKeyframe(), changes[i].second) << changes[i].first;
    }
    std::vector<nlohmann::json> timing;
    for (auto& line : out.lines())
      if (line.starts_with("EVENT:VIDEO_TIMING:")) timing.push_back(nlohmann::json::parse(line.substr(19)));
    ASSERT_EQ(timing.size(), run + 1);
    EXPECT_EQ(timing[run]["sequence"], 0);
    EXPECT_EQ(timing[run]["timestampUs"], 0);
    EXPECT_EQ(timing[run]["captureTimeUs"].get<int64_t>(), std::llround(startedAt * 1e6));
    ex.advance(10);
  }
}

TEST_F(ScreenVideoSourceTest, ASlowEncoderMakesPicturesSkipNotPileUp) {
  make(1280, 720, 30);
  sim.videoEncoders().setEncodeTime(0.1);  // three times slower than the pictures come
  ASSERT_EQ(startError("display", 1), "");
  auto stream = sim.screen().latestStream();
  int maxInFlight = 0;
  for (int i = 0; i < 60; ++i) {  // two seconds, watching the encoder's backlog
    ex.advance(1.0 / 30);
    auto c = sim.videoEncoders().counters();
    maxInFlight = std::max(maxInFlight, c.framesSubmitted - c.framesOutput);
  }
  EXPECT_LE(maxInFlight, ScreenVideoSource::kMaxFramesInFlight);
  const auto stats = source->stats();
  EXPECT_GT(stats.picturesSkipped, 10u);
  EXPECT_THAT(videoLog(), ::testing::Contains(::testing::MatchesRegex(
                              "skipped [0-9]+ pictures? before encoding while the encoder was behind")));
  // Standard output kept up: the log does not send the host looking for a reading fault.
  EXPECT_THAT(videoLog(), ::testing::Not(::testing::Contains(HasSubstr("standard output was behind"))));

  // The screen goes still: the newest picture still comes out.
  sim.screen().setContentMoving(false);
  ex.advance(1);
  auto f = frames();
  ASSERT_FALSE(f.empty());
  // The pause came 2 s after the start, the first picture 1/30 s after it; the stream itself
  // skips a tick or two while the pool is all lent out.
  EXPECT_GE(f.back().pts, 1900000u);
  for (size_t i = 0; i < f.size(); ++i) EXPECT_EQ(f[i].sequence, i);
  for (size_t i = 1; i < f.size(); ++i) EXPECT_GT(f[i].pts, f[i - 1].pts);
  EXPECT_EQ(source->stats().framesWritten, f.size());

  // By the stop, the log has counted every skipped picture.
  source->stop();
  uint64_t logged = 0;
  for (auto& l : videoLog()) {
    unsigned long n = 0;
    if (std::sscanf(l.c_str(), "skipped %lu", &n) == 1) logged += n;
  }
  EXPECT_EQ(logged, source->stats().picturesSkipped);
}

}  // namespace
