// Start, stop and the per-buffer conversion of the system audio source.

#include <cstring>
#include <functional>

#include "SystemAudioTestSupport.hpp"

namespace qb::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class SystemAudioSourceTest : public SystemAudioTest {};

TEST_F(SystemAudioSourceTest, StartsOnTheFirstDisplayAndDeliversConvertedAudio) {
  sim.screen().setDisplays({DisplayInfo{7, 2560, 1440}, DisplayInfo{8, 1280, 800}});
  EXPECT_EQ(source->sourceID(), "system");
  EXPECT_EQ(source->frameType(), AudioProtocol::FrameType::system);
  startAndExpectSuccess();
  EXPECT_THAT(
      take(),
      ElementsAre(
          "0.00 SystemAudioSource: starting...", "0.00 SystemAudioSource: screen recording permission GRANTED",
          "0.00 SystemAudioSource: found 2 displays, 0 windows", "0.00 SystemAudioSource: using display 7 (2560x1440)",
          "0.00 SystemAudioSource: config: capturesAudio=true, excludesCurrentProcessAudio=true",
          "0.00 SystemAudioSource: audio output handler added", "0.00 SystemAudioSource: started successfully"));
  auto stream = currentStream();
  ASSERT_TRUE(stream);
  EXPECT_EQ(stream->filter().displayID, 7u);
  EXPECT_EQ(stream->filter().kind, ContentFilter::Kind::display);
  const auto& config = stream->configuration();
  EXPECT_TRUE(config.capturesAudio);
  EXPECT_TRUE(config.excludesCurrentProcessAudio);
  EXPECT_EQ(config.sampleRate, 48000);
  EXPECT_EQ(config.channelCount, 2);
  EXPECT_EQ(config.width, 16);
  EXPECT_EQ(config.height, 16);
  EXPECT_EQ(config.pixelFormat, kPixelFormat420v);
  EXPECT_TRUE(stream->isCapturing());
  EXPECT_TRUE(stream->hasOutput(StreamOutputType::audio));
  EXPECT_FALSE(stream->hasOutput(StreamOutputType::screen));

  // One second of 10 ms buffers: the first-callback and converter lines once, then only audio.
  ex.advance(1.0);
  EXPECT_THAT(take(), ElementsAre("0.01 SystemAudioSource: first callback - channels=2, float=true, rate=48000.0, "
                                  "planar=false",
                                  "0.01 SystemAudioSource: created converter 48000.0Hz \u2192 48000.0Hz"));
  EXPECT_GE(deliveries, 99);
  EXPECT_EQ(delivered.size() % 4, 0u);
  EXPECT_NEAR(double(delivered.size()), 48000.0 * 4, 480.0 * 4);
}

TEST_F(SystemAudioSourceTest, StopTearsDownTheStreamAndKeepsQuietAfterwards) {
  startAndExpectSuccess();
  ex.advance(0.5);
  auto stream = currentStream();
  take();
  source->stop();
  EXPECT_THAT(take(), ElementsAre("0.50 SystemAudioSource: stopping...", "0.50 SystemAudioSource: stopped"));
  EXPECT_FALSE(source->isActive());
  EXPECT_FALSE(stream->isCapturing());
  EXPECT_FALSE(stream->hasOutput(StreamOutputType::audio));
  int before = deliveries;
  ex.advance(30);  // no watchdog, no recovery, no audio
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(deliveries, before);

  source->stop();  // idle: nothing at all
  EXPECT_TRUE(take().empty());

  // A later start works and counts its recoveries afresh.
  startAndExpectSuccess();
  EXPECT_EQ(take().back(), "30.50 SystemAudioSource: started successfully");
  EXPECT_EQ(sim.screen().counters().streamsCreated, 2);
}

TEST_F(SystemAudioSourceTest, StopLogsRemoveAndStopErrorsButStillEndsIdle) {
  startAndExpectSuccess();
  take();
  sim.screen().failNext(SimScreenOp::removeStreamOutput, SimScreenCaptureService::makeError(-3802, "gone"));
  sim.screen().failNext(SimScreenOp::stopCapture, SimScreenCaptureService::makeError(-3802, "late"));
  source->stop();
  EXPECT_THAT(take(), ElementsAre("0.00 SystemAudioSource: stopping...",
                                  "0.00 SystemAudioSource: error removing stream output: Error "
                                  "Domain=SimScreenCapture Code=-3802 \"gone\"",
                                  "0.00 SystemAudioSource: error stopping capture: Error Domain=SimScreenCapture "
                                  "Code=-3802 \"late\"",
                                  "0.00 SystemAudioSource: stopped"));
  EXPECT_FALSE(source->isActive());
}

TEST_F(SystemAudioSourceTest, SecondStartIsIgnored) {
  startAndExpectSuccess();
  take();
  EXPECT_EQ(source->start(), std::nullopt);
  EXPECT_THAT(take(), ElementsAre("0.00 SystemAudioSource: start ignored - already active"));
  EXPECT_EQ(sim.screen().counters().streamsCreated, 1);
}

TEST_F(SystemAudioSourceTest, StartDuringStopIsIgnored) {
  startAndExpectSuccess();
  take();
  sim.screen().setDelay(SimScreenOp::stopCapture, 1.0);
  std::optional<std::optional<SourceError>> lateStart;
  ex.runAsyncAfter(0.5, [&] { lateStart = source->start(); });
  source->stop();
  ASSERT_TRUE(lateStart.has_value());
  EXPECT_EQ(*lateStart, std::nullopt);
  EXPECT_THAT(take(), ElementsAre("0.00 SystemAudioSource: stopping...",
                                  "0.50 SystemAudioSource: start ignored - stop in progress",
                                  "1.00 SystemAudioSource: stopped"));
  EXPECT_FALSE(source->isActive());
}

TEST_F(SystemAudioSourceTest, StopDuringStartCaptureAbortsTheStart) {
  sim.screen().setDelay(SimScreenOp::startCapture, 1.0);
  ex.runAsyncAfter(0.5, [&] { source->stop(); });
  EXPECT_EQ(source->start(), std::nullopt);
  auto lines = take();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_THAT(std::vector(lines.end() - 3, lines.end()),
              ElementsAre("0.50 SystemAudioSource: stopping...", "1.00 SystemAudioSource: stopped",
                          "1.00 SystemAudioSource: start aborted - stopped during startCapture"));
  EXPECT_FALSE(source->isActive());
  EXPECT_TRUE(sim.screen().liveStreams().empty());
  ex.advance(20);  // the watchdog went with the aborted start
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(deliveries, 0);
}

TEST_F(SystemAudioSourceTest, PermissionDeniedTellsTheHostAndFails) {
  sim.screen().setPermissionGranted(false);
  auto error = source->start();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind, SourceError::Kind::permissionDenied);
  EXPECT_EQ(error->description, "permissionDenied");
  EXPECT_THAT(take(), ElementsAre("0.00 SystemAudioSource: starting...",
                                  "0.00 SystemAudioSource: screen recording permission DENIED",
                                  "0.00 SystemAudioSource: permission denied, cannot capture system audio",
                                  "0.00 CMD_RESPONSE:SCREEN_RECORDING_PERMISSION_DENIED:",
                                  "0.00 EVENT:SCREEN_RECORDING_PERMISSION_DENIED"));
  EXPECT_FALSE(source->isActive());
  EXPECT_EQ(sim.screen().counters().streamsCreated, 0);
}

TEST_F(SystemAudioSourceTest, FailedStartIsSaidOnceRetriedQuietlyEverySecondAndComesBack) {
  auto& screen = sim.screen();
  const DisplayInfo display{1, 1920, 1080};
  auto error = [](int64_t code, const char* message) { return SimScreenCaptureService::makeError(code, message); };
  struct Row {
    const char* name;
    std::function<void()> fault;  // holds for the start and the next two retries
    std::string description;
  };
  const Row rows[] = {
      {"no display", [&] { screen.setDisplays({}); }, "noDisplayFound"},
      {"content query", [&] { screen.failNext(SimScreenOp::shareableContent, error(-3801, "no access"), 3); },
       error(-3801, "no access").printed()},
      {"adding the output", [&] { screen.failNext(SimScreenOp::addStreamOutput, error(-3802, "no output"), 3); },
       error(-3802, "no output").printed()},
      {"no sound server", [&] { screen.failNext(SimScreenOp::startCapture, error(-3821, "not\nreachable"), 3); },
       "Error Domain=SimScreenCapture Code=-3821 \"not reachable\""},
  };
  for (const auto& row : rows) {
    const std::string t = stamp(ex.elapsed());
    row.fault();
    auto failure = source->start();
    ASSERT_TRUE(failure) << row.name;
    EXPECT_EQ(failure->kind, SourceError::Kind::other) << row.name;
    EXPECT_FALSE(source->isActive()) << row.name;
    EXPECT_TRUE(screen.liveStreams().empty()) << row.name;  // the stream made for it is let go
    EXPECT_THAT(takeMatching("EVENT:"), ElementsAre(t + " EVENT:SYSTEM_AUDIO_START_FAILED:" + row.description))
        << row.name;
    ex.advance(2.5);
    EXPECT_THAT(take(), IsEmpty()) << row.name;  // two quiet retries, and no watchdog
    screen.setDisplays({display});
    ex.advance(1);
    EXPECT_THAT(takeMatching("EVENT:"), ElementsAre(stamp(ex.elapsed() - 0.5) + " EVENT:SYSTEM_AUDIO_RESUMED"))
        << row.name;
    EXPECT_TRUE(source->isActive()) << row.name;
    source->stop();
    take();
  }

  // Stopped while waiting: no retry follows.
  screen.setDisplays({});
  EXPECT_TRUE(source->start());
  source->stop();
  const int made = screen.counters().streamsCreated;
  screen.setDisplays({display});
  ex.advance(5);
  EXPECT_EQ(screen.counters().streamsCreated, made);
  EXPECT_FALSE(source->isActive());
}

// ---- per-buffer conversion ----

class SystemAudioConversionTest : public SystemAudioTest {
 protected:
  void SetUp() override {
    sim.screen().setAudioStalled(true);  // only the buffers a test pushes arrive
    startAndExpectSuccess();
    take();
  }
  void push(const AudioSampleBuffer& buffer) {
    currentStream()->deliverAudio(buffer);
    ex.runUntilIdle();
  }
  std::vector<int16_t> samples() const {
    std::vector<int16_t> s(delivered.size() / 2);
    std::memcpy(s.data(), delivered.data(), s.size() * 2);
    return s;
  }
};

TEST_F(SystemAudioConversionTest, InterleavedAndPlanarStereoBecomeInterleavedInt16) {
  auto timed = constantBuffer(48000, {0.5f, -0.25f}, 480, true);
  timed.captureTimeUs = 5'000'000;
  push(timed);
  EXPECT_EQ(captureTimes, std::vector<int64_t>{5'000'000});  // no resampling: nothing held back
  auto s = samples();
  ASSERT_EQ(s.size(), 960u);
  EXPECT_NEAR(s[100], 16384, 2);
  EXPECT_NEAR(s[101], -8192, 2);

  delivered.clear();
  push(constantBuffer(48000, {-0.5f, 0.25f}, 480, false));
  s = samples();
  ASSERT_FALSE(s.empty());
  EXPECT_NEAR(s[s.size() - 2], -16384, 2);  // planes must not be read as interleaved pairs
  EXPECT_NEAR(s[s.size() - 1], 8192, 2);
  EXPECT_THAT(takeMatching("created converter"),
              ElementsAre("0.00 SystemAudioSource: created converter 48000.0Hz \u2192 48000.0Hz",
                          "0.00 SystemAudioSource: created converter 48000.0Hz \u2192 48000.0Hz"));
}

TEST_F(SystemAudioConversionTest, FirstCallbackLineOncePerStreamAndConverterPerFormat) {
  push(constantBuffer(44100, {0.1f}, 441, true));
  push(constantBuffer(44100, {0.1f}, 441, true));
  push(constantBuffer(48000, {0.1f, 0.1f}, 480, true));
  push(constantBuffer(48000, {0.1f, 0.1f}, 480, true));
  push(constantBuffer(48000, {0.1f}, 480, true));
  EXPECT_THAT(take(), ElementsAre("0.00 SystemAudioSource: first callback - channels=1, float=true, rate=44100.0, "
                                  "planar=false",
                                  "0.00 SystemAudioSource: created converter 44100.0Hz \u2192 48000.0Hz",
                                  "0.00 SystemAudioSource: created converter 48000.0Hz \u2192 48000.0Hz",
                                  "0.00 SystemAudioSource: created converter 48000.0Hz \u2192 48000.0Hz"));
  EXPECT_GT(deliveries, 0);
}

TEST_F(SystemAudioConversionTest, BadBuffersAreDroppedWithALine) {
  AudioSampleBuffer noDescription;
  noDescription.numSamples = 10;
  push(noDescription);
  push(constantBuffer(48000, {0.1f, 0.1f, 0.1f}, 480, true));
  auto shortData = constantBuffer(48000, {0.1f, 0.1f}, 480, true);
  shortData.data.resize(100);
  push(shortData);
  push(constantBuffer(48000, {0.1f, 0.1f}, 0, true));  // empty: nothing to say
  EXPECT_THAT(take(), ElementsAre("0.00 SystemAudioSource: failed to get format description",
                                  "0.00 SystemAudioSource: first callback - channels=3, float=true, rate=48000.0, "
                                  "planar=false",
                                  "0.00 SystemAudioSource: unsupported audio format: 48000.0Hz/3ch",
                                  "0.00 SystemAudioSource: failed to copy PCM data, status: -12737"));
  EXPECT_EQ(deliveries, 0);
}

TEST_F(SystemAudioConversionTest, BufferOfAStaleStreamChangesNothingNotEvenTheWatchdog) {
  auto stranger = sim.screen().makeStream(ContentFilter::forDisplay(1), StreamConfiguration{}, {});
  ex.advanceTo(9.5);
  source->streamDidOutputAudio(*stranger, constantBuffer(48000, {0.1f, 0.1f}, 480, true));
  EXPECT_EQ(deliveries, 0);
  ex.advanceTo(10.0);
  // No first-callback line; the stall is measured from the start, not from the stray buffer.
  EXPECT_THAT(take(), ElementsAre("10.00 SystemAudioSource: scheduling recovery (callback_stalled_10s) in 2.5s",
                                  "10.00 EVENT:SYSTEM_AUDIO_RECOVERY_SCHEDULED:callback_stalled_10s"));
}

TEST_F(SystemAudioSourceTest, ReleasingTheSourceRemovesTheWakeObserver) {
  EXPECT_EQ(sim.wake().observerCount(), 1u);
  startAndExpectSuccess();
  std::weak_ptr<SystemAudioSource> weak = source;
  source.reset();  // released without stop: later timers and callbacks find it gone
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(sim.wake().observerCount(), 0u);
  take();
  sim.wake().postWake();
  ex.advance(30);
  EXPECT_TRUE(take().empty());
}

}  // namespace
}  // namespace qb::testing
