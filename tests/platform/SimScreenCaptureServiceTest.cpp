// The simulated screen capture service: exactly-once asynchronous completions in call
// order, weakly held outputs and delegates, delivery timing in virtual time.

#include <gtest/gtest.h>

#include "platform/sim/SimPlatform.hpp"
#include "runtime/ManualExecutor.hpp"

namespace qb {
namespace {

struct Receiver : StreamOutput, StreamDelegate {
  std::vector<std::pair<double, AudioSampleBuffer>> audio;
  struct Picture {
    double presentationTime;
    int width, height;
    uint8_t firstByte;
  };
  std::vector<Picture> video;
  std::vector<VideoFrame> kept;  // frames held on to, as a slow encoder would
  bool keepFrames = false;
  std::vector<int64_t> stops;
  const CaptureStream* lastStream = nullptr;
  ManualExecutor* ex = nullptr;
  void streamDidOutputAudio(const CaptureStream& s, const AudioSampleBuffer& b) override {
    lastStream = &s;
    audio.emplace_back(ex->elapsed(), b);
  }
  void streamDidOutputVideo(const CaptureStream& s, const VideoFrame& f) override {
    lastStream = &s;
    video.push_back({f.presentationTime, f.width, f.height, f.planes[0][0]});
    if (keepFrames) kept.push_back(f);
  }
  void streamDidStop(const CaptureStream& s, const PlatformError& e) override {
    lastStream = &s;
    stops.push_back(e.code);
  }
};

class SimScreenTest : public ::testing::Test {
 protected:
  SimScreenTest() : sim(ex), screen(sim.screen()) {
    sim.addTypicalMachine();
    rx->ex = &ex;
  }

  std::shared_ptr<CaptureStream> audioStream() {
    StreamConfiguration c;
    c.capturesAudio = true;
    c.width = c.height = 16;
    auto s = screen.makeStream(ContentFilter::forDisplay(1), c, rx);
    EXPECT_FALSE(s->addStreamOutput(rx, StreamOutputType::audio, queue));
    return s;
  }

  // Calls an asynchronous operation and records each completion.
  std::shared_ptr<std::vector<std::optional<PlatformError>>> track(const std::function<void(ErrorCompletion)>& op) {
    auto results = std::make_shared<std::vector<std::optional<PlatformError>>>();
    op([results](std::optional<PlatformError> e) { results->push_back(e); });
    return results;
  }

  ManualExecutor ex;
  SimPlatform sim;
  SimScreenCaptureService& screen;
  std::shared_ptr<Queue> queue = ex.makeQueue("test.capture");
  std::shared_ptr<Receiver> rx = std::make_shared<Receiver>();
};

TEST_F(SimScreenTest, CompletionsRunOnceLaterAndInCallOrder) {
  auto s = audioStream();
  screen.setDelay(SimScreenOp::startCapture, 0.5);
  std::vector<std::string> order;
  s->startCapture([&](auto e) { order.push_back(e ? "start-failed" : "started"); });
  s->stopCapture([&](auto e) { order.push_back(e ? "stop-failed" : "stopped"); });
  EXPECT_TRUE(order.empty()) << "completed inside the call";
  ex.advance(0.49);
  EXPECT_TRUE(order.empty());
  ex.advance(0.01);
  EXPECT_EQ(order, (std::vector<std::string>{"started", "stopped"}));
  ex.advance(1);
  EXPECT_EQ(order.size(), 2u);

  // A second stop on a stopped stream fails rather than pretending.
  auto again = track([&](auto done) { s->stopCapture(done); });
  ex.runUntilIdle();
  ASSERT_EQ(again->size(), 1u);
  EXPECT_TRUE(again->front());
}

TEST_F(SimScreenTest, ScriptedFailuresAreDrawnOncePerCall) {
  auto s = audioStream();
  screen.failNext(SimScreenOp::startCapture, SimScreenCaptureService::makeError(-3801, "denied"));
  auto first = track([&](auto done) { s->startCapture(done); });
  auto second = track([&](auto done) { s->startCapture(done); });
  ex.runUntilIdle();
  ASSERT_EQ(first->size(), 1u);
  ASSERT_EQ(second->size(), 1u);
  EXPECT_EQ(first->front()->code, -3801);
  EXPECT_FALSE(second->front());
  EXPECT_EQ(screen.counters().captureStarts, 1);

  screen.failNext(SimScreenOp::shareableContent, SimScreenCaptureService::makeError(-3816, "no content"), -1);
  int failures = 0;
  for (int i = 0; i < 3; ++i)
    screen.shareableContent(false, true, [&](Result<ShareableContent> r) { failures += r.index() == 1; });
  ex.runUntilIdle();
  EXPECT_EQ(failures, 3);
}

TEST_F(SimScreenTest, AudioComesEvery10msAsFloatStereoUntilStalledOrStopped) {
  auto s = audioStream();
  s->startCapture([](auto) {});
  ex.runUntilIdle();
  ex.advance(0.1);
  ASSERT_EQ(rx->audio.size(), 10u);
  const auto& b = rx->audio.back().second;
  EXPECT_EQ(b.numSamples, 480u);
  EXPECT_EQ(b.description->sampleRate, 48000);
  EXPECT_EQ(b.description->channelsPerFrame, 2u);
  EXPECT_TRUE(b.description->formatFlags & FormatFlags::kFloat);
  EXPECT_FALSE(b.description->formatFlags & FormatFlags::kNonInterleaved);
  EXPECT_EQ(b.data.size(), 480u * 8);
  EXPECT_EQ(rx->lastStream, s.get());

  screen.setAudioStalled(true);
  ex.advance(1);
  EXPECT_EQ(rx->audio.size(), 10u);
  screen.setAudioStalled(false);
  ex.advance(0.05);
  EXPECT_EQ(rx->audio.size(), 15u);

  // Removing the output drops buffers already queued for it.
  auto sim = std::static_pointer_cast<SimCaptureStream>(s);
  sim->deliverAudio(b);
  EXPECT_FALSE(s->removeStreamOutput(StreamOutputType::audio));
  EXPECT_TRUE(s->removeStreamOutput(StreamOutputType::audio)) << "removing twice must fail";
  ex.advance(0.1);
  EXPECT_EQ(rx->audio.size(), 15u);
}

TEST_F(SimScreenTest, PicturesFollowTheContentAtMostOncePerInterval) {
  StreamConfiguration c;
  c.width = 64;
  c.height = 36;
  c.pixelFormat = kPixelFormat420v;
  c.minimumFrameIntervalValue = 1;
  c.minimumFrameIntervalTimescale = 10;
  c.showsCursor = false;
  auto s = screen.makeStream(ContentFilter::forDisplay(1), c, rx);
  ASSERT_FALSE(s->addStreamOutput(rx, StreamOutputType::screen, queue));
  s->startCapture([](auto) {});
  // Moving content: the first picture at once, then one every interval.
  ex.advance(0.95);
  ASSERT_EQ(rx->video.size(), 10u);
  EXPECT_NEAR(rx->video[1].presentationTime - rx->video[0].presentationTime, 0.1, 1e-9);
  EXPECT_EQ(rx->video[0].width, 64);
  EXPECT_EQ(rx->video[0].height, 36);
  EXPECT_NE(rx->video[0].firstByte, rx->video[1].firstByte);
  EXPECT_TRUE(rx->audio.empty());

  // Still content: nothing until it changes; a change inside the interval comes at its end.
  screen.setContentMoving(false);
  ex.advance(1.0);
  rx->video.clear();
  ex.advance(1.0);
  EXPECT_TRUE(rx->video.empty());
  screen.paint(ContentFilter::forDisplay(1), 0xFF0000FF);
  ex.advance(0.001);
  ASSERT_EQ(rx->video.size(), 1u);
  const double first = rx->video[0].presentationTime;
  screen.paint(ContentFilter::forDisplay(1), 0xFF00FF00);
  screen.paint(ContentFilter::forDisplay(2), 0xFF00FF00);  // not shown by this stream
  ex.advance(0.5);
  ASSERT_EQ(rx->video.size(), 2u);
  EXPECT_NEAR(rx->video[1].presentationTime - first, 0.1, 1e-9);
  // The cursor counts only for streams that show it.
  screen.moveCursor();
  ex.advance(0.5);
  EXPECT_EQ(rx->video.size(), 2u);
}

TEST_F(SimScreenTest, HeldPicturesStarveThePoolAndTicksAreSkippedUntilOneIsDropped) {
  StreamConfiguration c;
  c.width = 32;
  c.height = 18;
  c.minimumFrameIntervalValue = 1;
  c.minimumFrameIntervalTimescale = 10;
  auto s = screen.makeStream(ContentFilter::forDisplay(1), c, rx);
  ASSERT_FALSE(s->addStreamOutput(rx, StreamOutputType::screen, queue));
  s->startCapture([](auto) {});
  rx->keepFrames = true;
  ex.advance(1.05);
  const auto sim = std::static_pointer_cast<SimCaptureStream>(s);
  EXPECT_EQ(rx->video.size(), size_t(PicturePool::kDefaultCapacity));
  // Due at 0, 0.1, ... 1.0; each skipped one is tried again an interval later.
  EXPECT_EQ(sim->videoFramesSkipped(), 11 - PicturePool::kDefaultCapacity);
  // Every kept frame still shows its own picture: nothing was written over a held one.
  for (size_t i = 0; i < rx->kept.size(); ++i) EXPECT_EQ(rx->kept[i].planes[0][0], rx->video[i].firstByte);

  rx->keepFrames = false;
  rx->kept.erase(rx->kept.begin());
  ex.advance(0.1);
  EXPECT_EQ(rx->video.size(), size_t(PicturePool::kDefaultCapacity) + 1);
  rx->kept.clear();
  ex.advance(0.55);
  EXPECT_EQ(rx->video.size(), size_t(PicturePool::kDefaultCapacity) + 6);
}

TEST_F(SimScreenTest, StopWithErrorReachesTheDelegateOnceAndEndsDelivery) {
  auto s = audioStream();
  s->startCapture([](auto) {});
  ex.advance(0.05);
  size_t before = rx->audio.size();
  screen.removeDisplay(1);
  EXPECT_TRUE(rx->stops.empty()) << "delegate called inside the call";
  ex.advance(0.1);
  EXPECT_EQ(rx->stops, (std::vector<int64_t>{StreamErrorCode::kDisplayUnavailable}));
  EXPECT_EQ(rx->audio.size(), before);
  EXPECT_EQ(rx->lastStream, s.get());
  // Restarting on the vanished display fails.
  auto restart = track([&](auto done) { s->startCapture(done); });
  ex.runUntilIdle();
  ASSERT_EQ(restart->size(), 1u);
  EXPECT_TRUE(restart->front());
}

TEST_F(SimScreenTest, OutputsAndDelegatesAreHeldWeakly) {
  auto s = audioStream();
  s->startCapture([](auto) {});
  ex.advance(0.05);
  rx.reset();
  ex.advance(0.1);  // buffers for a receiver that is gone: dropped quietly
  std::static_pointer_cast<SimCaptureStream>(s)->stopWithError(StreamErrorCode::kTakenOver);
  ex.runUntilIdle();
  EXPECT_EQ(screen.counters().streamsStoppedWithError, 1);
}

TEST_F(SimScreenTest, CompletionStillRunsWhenTheCallerDroppedTheStream) {
  int calls = 0;
  {
    auto s = audioStream();
    s->startCapture([&](auto) { ++calls; });
  }
  ex.runUntilIdle();
  EXPECT_EQ(calls, 1);
  ex.advance(0.1);
  EXPECT_TRUE(screen.liveStreams().empty());
}

TEST_F(SimScreenTest, ShareableContentAndImages) {
  screen.addWindow({7, "Editor", {0, 0, 800, 600}, RunningApplication{"Editor", "org.editor", 42}, true});
  screen.addWindow({8, "Hidden", {0, 0, 800, 600}, std::nullopt, false});
  size_t onScreen = 0, all = 0;
  screen.shareableContent(false, true, [&](auto r) { onScreen = std::get<0>(r).windows.size(); });
  screen.shareableContent(false, false, [&](auto r) { all = std::get<0>(r).windows.size(); });
  ex.runUntilIdle();
  EXPECT_EQ(onScreen, 1u);
  EXPECT_EQ(all, 2u);
  ASSERT_EQ(screen.shareableQueries().size(), 2u);
  EXPECT_TRUE(screen.shareableQueries()[0].onScreenWindowsOnly);

  StreamConfiguration c;
  c.width = 4;
  c.height = 2;
  std::optional<Result<Image>> shot;
  screen.captureImage(ContentFilter::forDisplay(1), c, [&](auto r) { shot = r; });
  ex.runUntilIdle();
  ASSERT_TRUE(shot && shot->index() == 0);
  EXPECT_EQ(std::get<0>(*shot).bgra.size(), 4u * 2 * 4);
  screen.captureImage(ContentFilter::forDisplay(9), c, [&](auto r) { shot = r; });
  ex.runUntilIdle();
  EXPECT_EQ(shot->index(), 1u);
}

}  // namespace
}  // namespace qb
