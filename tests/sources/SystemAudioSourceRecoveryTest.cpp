// The watchdog and the two recovery paths, transition by transition, in virtual time.
// Every expected line carries the virtual second at which it must be written.

#include <algorithm>

#include "SystemAudioTestSupport.hpp"

namespace qb::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

const std::string kNotCapturing = "Error Domain=SimScreenCapture Code=-3802 \"The stream is not capturing\"";

class SystemAudioRecoveryTest : public SystemAudioTest {
 protected:
  void at(double t) { ex.advanceTo(t); }
  void wakeAt(double t) {
    at(t);
    sim.wake().postWake();
  }
  void takeOverAt(double t) {
    at(t);
    currentStream()->stopWithError(StreamErrorCode::kTakenOver, "taken");
  }
  static std::vector<std::string> scheduled(const std::string& time, const std::string& reason) {
    return {time + " SystemAudioSource: scheduling recovery (" + reason + ") in 2.5s",
            time + " EVENT:SYSTEM_AUDIO_RECOVERY_SCHEDULED:" + reason};
  }
  static std::vector<std::string> contention(const std::string& time, int attempt) {
    return {time + " SystemAudioSource: contention recovery " + std::to_string(attempt) + "/15 in 0.2s",
            time + " EVENT:SYSTEM_AUDIO_RECOVERY_SCHEDULED:contention_-3805"};
  }
  static std::vector<std::string> takenOver(const std::string& time) {
    return {time +
                " SystemAudioSource: stream stopped with error: Error Domain=SimScreenCapture Code=-3805 "
                "\"taken\" (code: -3805)",
            time +
                " SystemAudioSource: contention detected (-3805) - another app interrupted stream, fighting "
                "to reclaim...",
            time + " EVENT:SYSTEM_AUDIO_CONTENTION:-3805"};
  }
  static std::vector<std::string> firstBuffer(const std::string& time, bool reclaimed) {
    std::vector<std::string> v{time +
                               " SystemAudioSource: first callback - channels=2, float=true, rate=48000.0, "
                               "planar=false"};
    if (reclaimed) {
      v.push_back(time + " SystemAudioSource: contention recovery succeeded - audio stream reclaimed");
      v.push_back(time + " EVENT:SYSTEM_AUDIO_CONTENTION_RESOLVED");
    }
    v.push_back(time + " SystemAudioSource: created converter 48000.0Hz \u2192 48000.0Hz");
    return v;
  }
  static std::vector<std::string> join(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
  }
  static std::string line(const std::string& time, const std::string& text) { return time + " " + kPrefix + text; }
};

TEST_F(SystemAudioRecoveryTest, StallsRebuildThreeTimesPerWindowThenEveryTickIsSkipped) {
  sim.screen().setAudioStalled(true);
  startAndExpectSuccess();  // t=0: the watchdog measures from here
  take();

  at(13);
  EXPECT_THAT(take(), ElementsAreArray(join({scheduled("10.00", "callback_stalled_10s"),
                                             {line("12.50", "recovered (callback_stalled_10s)")}})));
  EXPECT_EQ(sim.screen().counters().streamsCreated, 2);
  EXPECT_EQ(sim.screen().liveStreams().size(), 1u);  // the old stream was let go
  EXPECT_TRUE(currentStream()->isCapturing());

  // A rebuilt stream that stays silent is measured from the rebuild.
  at(39);
  EXPECT_THAT(take(), ElementsAreArray(join({scheduled("23.00", "callback_stalled_10s"),
                                             {line("25.50", "recovered (callback_stalled_10s)")},
                                             scheduled("36.00", "callback_stalled_10s"),
                                             {line("38.50", "recovered (callback_stalled_10s)")}})));

  // Fourth stall in the window: skipped, and again on every tick while silence lasts.
  at(51);
  EXPECT_THAT(take(), ElementsAre(line("49.00", "recovery skipped (max attempts) reason=callback_stalled_10s"),
                                  "49.00 EVENT:SYSTEM_AUDIO_STOPPED:recoveryExhausted",
                                  line("50.00", "recovery skipped (max attempts) reason=callback_stalled_11s"),
                                  line("51.00", "recovery skipped (max attempts) reason=callback_stalled_12s")));
  sim.screen().setAudioStalled(false);
  at(52);
  EXPECT_THAT(takeMatching("EVENT:"), ElementsAre("51.01 EVENT:SYSTEM_AUDIO_RESUMED"));
}

TEST_F(SystemAudioRecoveryTest, WakeWhileRunningRebuildsEvenWithAudioFlowingAndCounts) {
  startAndExpectSuccess();
  at(0.5);
  take();

  wakeAt(1);
  at(4);
  EXPECT_THAT(take(), ElementsAreArray(join({scheduled("1.00", "wake_notification"),
                                             {line("3.50", "recovered (wake_notification)")},
                                             firstBuffer("3.51", false)})));
  EXPECT_TRUE(currentStream()->configuration().excludesCurrentProcessAudio);  // the rebuilt stream too

  wakeAt(5);
  wakeAt(10);
  wakeAt(15);
  at(20);
  auto lines = take();
  // Audio flows: a wake that finds no recovery left stops nothing.
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](auto& l) { return l.find("_STOPPED") != std::string::npos; }),
            0);
  std::erase_if(lines, [](auto& l) { return l.find("SystemAudioSource: re") == std::string::npos; });
  EXPECT_THAT(lines,
              ElementsAre(line("7.50", "recovered (wake_notification)"), line("12.50", "recovered (wake_notification)"),
                          line("15.00", "recovery skipped (max attempts) reason=wake_notification")));
  EXPECT_GT(deliveries, 1500);  // audio kept flowing across the rebuilds
}

TEST_F(SystemAudioRecoveryTest, RestartForgivesUsedAttempts) {
  startAndExpectSuccess();
  wakeAt(1);
  wakeAt(5);
  wakeAt(10);
  at(14);
  source->stop();
  startAndExpectSuccess();
  take();
  wakeAt(15);
  at(16);
  EXPECT_THAT(takeMatching("wake_notification"), ElementsAreArray(scheduled("15.00", "wake_notification")));
}

TEST_F(SystemAudioRecoveryTest, ContentionPreemptsAPendingNormalRecoveryWhichGivesItsAttemptBack) {
  startAndExpectSuccess();
  wakeAt(1);
  at(1.5);
  take();

  takeOverAt(2);
  at(4);
  EXPECT_THAT(take(),
              ElementsAreArray(join({takenOver("2.00"),
                                     {line("2.00", "preempting pending normal recovery with contention path")},
                                     contention("2.00", 1),
                                     {line("2.20", "failed to stop capture (contention_-3805): " + kNotCapturing),
                                      line("2.20", "recovered (contention_-3805)")},
                                     firstBuffer("2.21", true),
                                     {line("3.50",
                                           "rebuildStream skipped (wake_notification) - stale nonce or "
                                           "inactive")}})));

  // The superseded wake recovery no longer counts: three more fit in the window.
  wakeAt(5);
  wakeAt(10);
  wakeAt(15);
  wakeAt(20);
  at(25);
  EXPECT_THAT(takeMatching("SystemAudioSource: re"),
              ElementsAre(line("7.50", "recovered (wake_notification)"), line("12.50", "recovered (wake_notification)"),
                          line("17.50", "recovered (wake_notification)"),
                          line("20.00", "recovery skipped (max attempts) reason=wake_notification")));
}

TEST_F(SystemAudioRecoveryTest, FailedContentionRebuildsRetryUntilExhaustedThenTheNormalPathTakesOver) {
  startAndExpectSuccess();
  at(0.5);
  sim.screen().setAudioStalled(true);
  const auto busy = SimScreenCaptureService::makeError(-3802, "busy");
  at(1);
  sim.screen().failNext(SimScreenOp::startCapture, busy, -1);
  take();
  takeOverAt(1);
  at(4.1);

  std::vector<std::string> expected = join({takenOver("1.00"), contention("1.00", 1)});
  for (int attempt = 1; attempt <= 15; ++attempt) {
    const std::string t = stamp(1.0 + 0.2 * attempt);
    if (attempt == 1) expected.push_back(line(t, "failed to stop capture (contention_-3805): " + kNotCapturing));
    expected.push_back(line(t, "failed to rebuild (contention_-3805): " + busy.printed()));
    if (attempt < 15) {
      auto next = contention(t, attempt + 1);
      expected.insert(expected.end(), next.begin(), next.end());
    }
  }
  expected.push_back(line("4.00",
                          "contention recovery exhausted (15/15) - another app is persistently blocking "
                          "audio capture"));
  expected.push_back("4.00 EVENT:SYSTEM_AUDIO_CONTENTION_EXHAUSTED");
  expected.push_back("4.00 EVENT:SYSTEM_AUDIO_STOPPED:contentionExhausted");
  EXPECT_THAT(take(), ElementsAreArray(expected));

  // Healthy again with no stream: the 10 s stall limit applies, measured from the last buffer.
  sim.screen().clearFailures();
  at(13);
  sim.screen().setAudioStalled(false);
  at(14);
  EXPECT_THAT(take(), ElementsAreArray(
                          join({scheduled("11.00", "callback_stalled_10s"),
                                {line("13.50", "recovered (callback_stalled_10s)"), "13.50 EVENT:SYSTEM_AUDIO_RESUMED"},
                                firstBuffer("13.51", false)})));

  // A minute after the first contention attempt its window has run out.
  takeOverAt(70);
  at(71);
  EXPECT_THAT(take(),
              ElementsAreArray(join({takenOver("70.00"),
                                     contention("70.00", 1),
                                     {line("70.20", "failed to stop capture (contention_-3805): " + kNotCapturing),
                                      line("70.20", "recovered (contention_-3805)")},
                                     firstBuffer("70.21", true)})));
}

TEST_F(SystemAudioRecoveryTest, SilentContentionRebuildIsRetriedAfterTwoSecondsAndResolvesOnce) {
  startAndExpectSuccess();
  at(1);
  sim.screen().setAudioStalled(true);
  take();
  takeOverAt(1);
  at(7.5);
  EXPECT_THAT(take(),
              ElementsAreArray(join({takenOver("1.00"),
                                     contention("1.00", 1),
                                     {line("1.20", "failed to stop capture (contention_-3805): " + kNotCapturing),
                                      line("1.20", "recovered (contention_-3805)")},
                                     contention("4.00", 2),
                                     {line("4.20", "recovered (contention_-3805)")},
                                     contention("7.00", 3),
                                     {line("7.20", "recovered (contention_-3805)")}})));

  sim.screen().setAudioStalled(false);
  at(30);
  EXPECT_THAT(take(), ElementsAreArray(firstBuffer("7.51", true)));
}

TEST_F(SystemAudioRecoveryTest, StreamErrorsChooseTheirReasonAndStaleStreamsAreIgnored) {
  startAndExpectSuccess();
  at(1);
  take();
  sim.screen().removeDisplay(1);
  at(4);
  EXPECT_THAT(take(), ElementsAreArray(
                          join({{line("1.00",
                                      "stream stopped with error: Error Domain=SimScreenCapture Code=-3815 "
                                      "\"The display is no longer available\" (code: -3815)")},
                                scheduled("1.00", "display_unavailable_-3815"),
                                {line("3.50", "failed to stop capture (display_unavailable_-3815): " + kNotCapturing),
                                 line("3.50", "recovery skipped (display_unavailable_-3815) - no display")}})));

  sim.screen().addDisplay(DisplayInfo{2, 1280, 720});
  wakeAt(5);
  at(8);
  EXPECT_THAT(takeMatching("recovered"), ElementsAre(line("7.50", "recovered (wake_notification)")));
  EXPECT_EQ(currentStream()->filter().displayID, 2u);

  auto old = currentStream();
  old->stopWithError(StreamErrorCode::kConnectionLost, "lost");
  at(11);
  EXPECT_THAT(take(),
              ElementsAreArray(join({{line("8.00",
                                           "stream stopped with error: Error Domain=SimScreenCapture Code=-3821 "
                                           "\"lost\" (code: -3821)")},
                                     scheduled("8.00", "stream_error_-3821"),
                                     {line("10.50", "failed to stop capture (stream_error_-3821): " + kNotCapturing),
                                      line("10.50", "recovered (stream_error_-3821)")},
                                     firstBuffer("10.51", false)})));

  // A late error of the replaced stream changes nothing.
  old->stopWithError(StreamErrorCode::kTakenOver, "late");
  at(20);
  EXPECT_THAT(take(), ElementsAre(line("11.00", "ignoring error from stale stream (code: -3805)")));
  EXPECT_TRUE(currentStream()->isCapturing());
}

TEST_F(SystemAudioRecoveryTest, StopBetweenSchedulingAndRebuildLeavesTheCaptureServiceAlone) {
  startAndExpectSuccess();
  wakeAt(1);
  at(2);
  source->stop();
  take();
  const auto counters = sim.screen().counters();
  at(10);
  EXPECT_THAT(take(), ElementsAre(line("3.50", "rebuildStream skipped (wake_notification) - stale nonce or inactive")));
  EXPECT_EQ(sim.screen().counters().streamsCreated, counters.streamsCreated);
  EXPECT_EQ(sim.screen().counters().shareableContentQueries, counters.shareableContentQueries);
}

TEST_F(SystemAudioRecoveryTest, StopDuringTheRebuildsStartCaptureAbortsTheRecovery) {
  startAndExpectSuccess();
  sim.screen().setDelay(SimScreenOp::startCapture, 1.0);
  wakeAt(1);
  ex.runAsyncAfter(3.0, [&] { source->stop(); });  // at 4.0, while the rebuilt stream is starting
  take();
  at(10);
  EXPECT_THAT(take(), ElementsAre("1.00 SystemAudioSource: scheduling recovery (wake_notification) in 2.5s",
                                  "1.00 EVENT:SYSTEM_AUDIO_RECOVERY_SCHEDULED:wake_notification",
                                  line("4.00", "stopping..."), line("4.50", "stopped"),
                                  line("4.50", "recovery aborted (wake_notification) - stopped during startCapture")));
  EXPECT_FALSE(source->isActive());
  for (auto& s : sim.screen().liveStreams()) EXPECT_FALSE(s->isCapturing());
}

}  // namespace
}  // namespace qb::testing
