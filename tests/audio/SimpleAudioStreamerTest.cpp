#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "audio/AudioTestSupport.hpp"
#include "audio/SimpleAudioStreamer.hpp"
#include "runtime/ManualExecutor.hpp"

namespace qb {
namespace {

using ::testing::ElementsAre;
using testing::FakeAudioSource;
using testing::OutputRecorder;
using Type = AudioProtocol::FrameType;

constexpr uint8_t kMic = 1;
constexpr uint8_t kSystem = 2;

std::vector<uint32_t> sequences(const std::vector<qbtools::Frame>& frames) {
  std::vector<uint32_t> out;
  for (auto& f : frames) out.push_back(f.sequence);
  return out;
}

struct StreamerTest : ::testing::Test {
  ManualExecutor executor;
  OutputRecorder out;
  std::shared_ptr<FakeAudioSource> mic = std::make_shared<FakeAudioSource>("mic", Type::mic);
  std::shared_ptr<FakeAudioSource> system = std::make_shared<FakeAudioSource>("sys", Type::system);
  std::shared_ptr<SimpleAudioStreamer> streamer;

  void start() {
    streamer = std::make_shared<SimpleAudioStreamer>(executor, mic, system);
    streamer->start();
    executor.runUntilIdle();  // the first tick runs at once
  }
  void tick() { executor.advance(SimpleAudioStreamer::tickInterval); }
};

TEST_F(StreamerTest, StartLogsInOrderAndIdleLoopOnlyReportsStatus) {
  start();
  EXPECT_THAT(out.lines(),
              ElementsAre("SimpleAudioStreamer: starting...", "SimpleAudioStreamer: mic source started",
                          "SimpleAudioStreamer: system source started", "SimpleAudioStreamer: data stream starting",
                          "SimpleAudioStreamer: STREAMING_STARTED"));
  out.clear();
  executor.advance(100.0);
  EXPECT_TRUE(out.frames().empty());
  // Ticks 500 and 1000 in 100 s.
  EXPECT_THAT(out.lines(), ElementsAre("SimpleAudioStreamer: buffer status mic=0b sys=0frames",
                                       "SimpleAudioStreamer: buffer status mic=0b sys=0frames"));
}

TEST_F(StreamerTest, MicCutsWholeFramesAndKeepsTheRemainder) {
  start();
  std::vector<uint8_t> audio(5 * 3840 + 3839);
  for (size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<uint8_t>(i * 7);
  mic->deliver(std::span(audio).first(1000));  // unaligned pieces
  mic->deliver(std::span(audio).subspan(1000));
  tick();
  auto frames = out.frames(kMic);
  ASSERT_EQ(frames.size(), 5u);
  EXPECT_THAT(sequences(frames), ElementsAre(0, 1, 2, 3, 4));
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(frames[i].payload, std::vector<uint8_t>(audio.begin() + static_cast<long>(i * 3840),
                                                      audio.begin() + static_cast<long>((i + 1) * 3840)));
    EXPECT_EQ(frames[i].sampleRate, 48000);
    EXPECT_EQ(frames[i].channels, 2);
    EXPECT_EQ(frames[i].bitsPerSample, 16);
  }
  tick();
  EXPECT_EQ(out.frames(kMic).size(), 5u);
  mic->deliver(1, 0x55);
  tick();
  frames = out.frames(kMic);
  ASSERT_EQ(frames.size(), 6u);
  EXPECT_EQ(frames[5].sequence, 5u);
  EXPECT_EQ(frames[5].payload.back(), 0x55);
  EXPECT_EQ(frames[5].payload.front(), audio[5 * 3840]);
}

TEST_F(StreamerTest, LevelFieldIsTheFrameRms) {
  start();
  std::vector<uint8_t> half(3840);
  for (size_t i = 0; i < half.size(); i += 2) half[i] = 0x00, half[i + 1] = 0x40;  // 16384
  mic->deliver(half);
  system->deliver(3840);
  tick();
  EXPECT_EQ(out.frames(kMic).at(0).level, static_cast<uint16_t>(16384.0 / 32767.0 * 65535.0));
  EXPECT_EQ(out.frames(kSystem).at(0).level, 0);
  EXPECT_THAT(out.linesStartingWith("SimpleAudioStreamer: mic 1"),
              ElementsAre("SimpleAudioStreamer: mic 1 frames (total: 1, RMS: 0.500015)"));
}

TEST_F(StreamerTest, ChannelSequencesAreIndependent) {
  start();
  mic->deliver(3 * 3840);
  system->deliver(3840);
  tick();
  system->deliver(3840);
  tick();
  EXPECT_THAT(sequences(out.frames(kMic)), ElementsAre(0, 1, 2));
  EXPECT_THAT(sequences(out.frames(kSystem)), ElementsAre(0, 1));
  EXPECT_THAT(
      out.linesStartingWith("SimpleAudioStreamer: sys "),
      ElementsAre("SimpleAudioStreamer: sys 1 frames (total: 1)", "SimpleAudioStreamer: sys 1 frames (total: 2)"));
  EXPECT_FALSE(out.protocolFailed());
}

TEST_F(StreamerTest, TickLogsWhenTotalIsBelowTenOrAMultipleOf500) {
  start();
  for (int t = 0; t < 201; ++t) {
    mic->deliver(5 * 3840);
    tick();
  }
  mic->deliver(7 * 3840);  // 1005 -> 1012 jumps no multiple
  tick();
  mic->deliver(493 * 3840);  // 1012 -> 1505 jumps over 1500
  tick();
  std::vector<std::string> totals;
  for (auto& l : out.linesStartingWith("SimpleAudioStreamer: mic 5")) totals.push_back(l.substr(0, l.find(", RMS")));
  EXPECT_THAT(totals, ElementsAre("SimpleAudioStreamer: mic 5 frames (total: 5",
                                  "SimpleAudioStreamer: mic 5 frames (total: 500",
                                  "SimpleAudioStreamer: mic 5 frames (total: 1000"));
}

// Frames of 20 ms whose capture times follow on from `t` (a frame of value i per frame).
void feed(FakeAudioSource& source, int frames, int64_t t) {
  for (int i = 0; i < frames; ++i) source.deliver(3840, static_cast<uint8_t>(i), t + i * 20000);
}

TEST_F(StreamerTest, TimingLinesMarkTheFirstFrameEveryJumpAndEvery500Frames) {
  start();
  const int64_t t = 7'000'000;
  feed(*mic, 499, t);
  feed(*mic, 2, t + 499 * 20000 + 2000);         // a 2 ms jump is jitter
  feed(*mic, 1, t + 501 * 20000 + 2000 + 4000);  // 4 ms is a gap
  executor.advance(1);
  mic->deliver(3840);  // a source that cannot tell: audio that ends as it arrives
  tick();
  EXPECT_THAT(out.linesStartingWith("EVENT:"),
              ElementsAre("EVENT:AUDIO_TIMING:{\"channel\":\"mic\",\"sequence\":0,\"captureTimeUs\":7000000}",
                          "EVENT:AUDIO_TIMING:{\"channel\":\"mic\",\"sequence\":500,\"captureTimeUs\":17002000}",
                          "EVENT:AUDIO_TIMING:{\"channel\":\"mic\",\"sequence\":501,\"captureTimeUs\":17026000}",
                          "EVENT:AUDIO_TIMING:{\"channel\":\"mic\",\"sequence\":502,\"captureTimeUs\":1000980000}"));
  EXPECT_EQ(out.frames(kMic).size(), 503u);
}

TEST_F(StreamerTest, OverflowIsLostAlikeOnBothChannelsAndSaidOnce) {
  start();
  for (auto* source : {mic.get(), system.get()}) feed(*source, 800, 1'000'000);  // 50 frames too many
  executor.advance(1);
  for (uint8_t type : {kMic, kSystem}) {
    auto frames = out.frames(type);
    ASSERT_EQ(frames.size(), 750u);
    EXPECT_EQ(frames.front().sequence, 50u);
    EXPECT_EQ(frames.front().payload[0], 50);
    EXPECT_EQ(frames.back().sequence, 799u);
  }
  EXPECT_THAT(out.linesStartingWith("EVENT:AUDIO_LOSS"),
              ElementsAre("EVENT:AUDIO_LOSS:{\"channel\":\"mic\",\"frames\":50,\"sequence\":50}",
                          "EVENT:AUDIO_LOSS:{\"channel\":\"system\",\"frames\":50,\"sequence\":50}"));

  // Loss again soon after is told once the line interval has passed, summed.
  out.clear();
  for (int round = 0; round < 2; ++round) {
    feed(*mic, 760, 30'000'000 + round * 20'000'000);
    executor.advance(1);
  }
  EXPECT_TRUE(out.linesStartingWith("EVENT:AUDIO_LOSS").empty());
  executor.advance(4);
  EXPECT_THAT(out.linesStartingWith("EVENT:AUDIO_LOSS"),
              ElementsAre("EVENT:AUDIO_LOSS:{\"channel\":\"mic\",\"frames\":20,\"sequence\":1570}"));
}

TEST_F(StreamerTest, SystemPartStopsAfter100FramesPerTick) {
  start();
  for (int i = 0; i < 150; ++i) system->deliver(3840);
  tick();
  EXPECT_EQ(out.frames(kSystem).size(), 100u);
  tick();
  EXPECT_EQ(out.frames(kSystem).size(), 150u);
}

// An executor whose clock moves 10 ms every time it is read, so that the system part's
// 30 ms budget runs out after a few frames.
class SlowClockExecutor final : public Executor {
 public:
  struct SteppingClock final : Clock {
    mutable double t = 0;
    double now() const override { return t; }
    double uptime() const override { return t += 0.01; }
  };
  const Clock& clock() const override { return clock_; }
  std::shared_ptr<Queue> makeQueue(const std::string& label) override { return inner.makeQueue(label); }
  void runAsync(Task task) override { inner.runAsync(std::move(task)); }
  TaskHandle runAsyncAfter(double s, Task task) override { return inner.runAsyncAfter(s, std::move(task)); }
  void wait(Signal& signal) override { inner.wait(signal); }
  bool waitFor(Signal& signal, double s) override { return inner.waitFor(signal, s); }
  ManualExecutor inner;
  SteppingClock clock_;
};

TEST(SimpleAudioStreamer, SystemPartStopsWhenItsTimeBudgetIsSpent) {
  SlowClockExecutor executor;
  OutputRecorder out;
  auto system = std::make_shared<FakeAudioSource>("sys", Type::system);
  auto streamer = std::make_shared<SimpleAudioStreamer>(executor, nullptr, system);
  streamer->start();
  executor.inner.runUntilIdle();
  system->deliver(20 * 3840);  // one chunk of 20 frames
  executor.inner.advance(0.1);
  // 10 ms per reading of the clock: the third frame reaches 30 ms.
  EXPECT_EQ(out.frames(kSystem).size(), 3u);
  executor.inner.advance(1.0);
  EXPECT_EQ(out.frames(kSystem).size(), 20u);  // the rest drains over later ticks
  streamer->stop();
  executor.inner.advance(0.2);
}

TEST_F(StreamerTest, NoFramesAfterStopAndTheLoopEnds) {
  start();
  mic->deliver(3840);
  tick();
  streamer->stop();
  EXPECT_EQ(mic->stops, 1);
  EXPECT_EQ(system->stops, 1);
  mic->deliver(10 * 3840);
  system->deliver(10 * 3840);
  executor.advance(1.0);
  EXPECT_EQ(out.frames().size(), 1u);
  auto lines = out.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "SimpleAudioStreamer: data stream ended"), 1);
  EXPECT_EQ(lines.back(), "SimpleAudioStreamer: data stream ended");
  EXPECT_EQ(executor.pendingCount(), 0u);
}

TEST_F(StreamerTest, StopThenStartRunsOneLoop) {
  start();
  streamer->stop();
  streamer->start();
  executor.advance(0.05);
  mic->deliver(3840);
  tick();
  EXPECT_EQ(out.frames(kMic).size(), 1u);
  auto ended = out.linesStartingWith("SimpleAudioStreamer: data stream ended");
  EXPECT_EQ(ended.size(), 1u);  // the first loop noticed it was superseded
}

TEST(SimpleAudioStreamer, StartFailuresAreLoggedAndStreamingGoesOn) {
  ManualExecutor executor;
  OutputRecorder out;
  auto mic = std::make_shared<FakeAudioSource>("mic", Type::mic, SourceError{SourceError::Kind::other, "no device"});
  auto denied = std::make_shared<FakeAudioSource>("sys", Type::system,
                                                  SourceError{SourceError::Kind::permissionDenied, "denied"});
  auto streamer = std::make_shared<SimpleAudioStreamer>(executor, mic, denied);
  streamer->start();
  EXPECT_THAT(out.linesStartingWith("SimpleAudioStreamer: mic source"),
              ElementsAre("SimpleAudioStreamer: mic source failed to start: no device"));
  EXPECT_THAT(out.linesStartingWith("SimpleAudioStreamer: system source"),
              ElementsAre("SimpleAudioStreamer: system source failed to start: denied"));
  EXPECT_TRUE(out.linesStartingWith("EVENT:").empty());  // the sources' to send
  EXPECT_EQ(out.lines().back(), "SimpleAudioStreamer: STREAMING_STARTED");
  streamer->stop();
  executor.advance(1);
}

TEST(SimpleAudioStreamer, CallbackAfterReleaseDoesNothing) {
  ManualExecutor executor;
  OutputRecorder out;
  auto mic = std::make_shared<FakeAudioSource>("mic", Type::mic);
  {
    auto streamer = std::make_shared<SimpleAudioStreamer>(executor, mic, nullptr);
    streamer->start();
    streamer->stop();
    executor.advance(1);  // the loop ends and lets go
  }
  ASSERT_TRUE(mic->hasCallback());
  mic->deliver(3840);
  executor.advance(1);
  EXPECT_TRUE(out.frames().empty());
}

}  // namespace
}  // namespace qb
