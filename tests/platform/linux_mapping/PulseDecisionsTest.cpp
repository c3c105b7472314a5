// The sound-server backend's decisions, without a server.

#include <gtest/gtest.h>

#include "platform/linux/pulse/DeviceIdMap.hpp"
#include "platform/linux/pulse/PulseDecisions.hpp"

namespace qb::pulse {
namespace {

TEST(PulseReconnect, BackoffStartsSmallDoublesAndIsCapped) {
  double d = 0;
  std::vector<double> seen;
  for (int i = 0; i < 8; ++i) seen.push_back(d = nextReconnectDelay(d));
  EXPECT_EQ(seen, (std::vector<double>{0.1, 0.2, 0.4, 0.8, 1.6, 2.0, 2.0, 2.0}));
}

TEST(PulseFormats, NativeFormatsAreDescribedAsTheyAreRecorded) {
  auto f = describe(SampleKind::float32le, 48000, 2);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->formatFlags & FormatFlags::kFloat, FormatFlags::kFloat);
  EXPECT_EQ(f->formatFlags & FormatFlags::kNonInterleaved, 0u);
  EXPECT_EQ(f->bitsPerChannel, 32u);
  EXPECT_EQ(f->bytesPerFrame, 8u);
  EXPECT_EQ(f->sampleRate, 48000);

  auto s16 = describe(SampleKind::s16le, 44100, 1);
  ASSERT_TRUE(s16);
  EXPECT_EQ(s16->formatFlags & FormatFlags::kFloat, 0u);
  EXPECT_EQ(s16->bytesPerFrame, 2u);
  // The converter takes what the capture path describes.
  auto pcm = PcmFormat::fromDescription(*s16);
  ASSERT_TRUE(pcm);
  EXPECT_EQ(pcm->sampleFormat, SampleFormat::Int16);

  auto s32 = PcmFormat::fromDescription(*describe(SampleKind::s32le, 48000, 2));
  ASSERT_TRUE(s32);
  EXPECT_EQ(s32->sampleFormat, SampleFormat::Int32);
  auto u8 = PcmFormat::fromDescription(*describe(SampleKind::u8, 8000, 1));
  ASSERT_TRUE(u8);
  EXPECT_EQ(u8->sampleFormat, SampleFormat::UInt8);

  // Anything else is recorded as float and converted by the server.
  EXPECT_FALSE(describe(SampleKind::other, 48000, 2));
  EXPECT_EQ(recordKindFor(SampleKind::other), SampleKind::float32le);
  EXPECT_EQ(recordKindFor(SampleKind::s16le), SampleKind::s16le);
}

TEST(PulseFormats, FragmentIsTwentyMillisecondsOfWholeFrames) {
  EXPECT_EQ(fragmentBytes(48000, 8), 960u * 8);
  EXPECT_EQ(fragmentBytes(44100, 4), 882u * 4);
  EXPECT_EQ(fragmentBytes(10, 2), 2u);  // never zero
}

TEST(PulseFragments, HolesBecomeSilenceOfExactlyTheirLength) {
  FragmentAssembler s16(4, silenceByte(SampleKind::s16le));
  const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(s16.take(data, 8), std::vector<uint8_t>(data, data + 8));
  EXPECT_EQ(s16.take(nullptr, 12), std::vector<uint8_t>(12, 0));

  // Unsigned 8-bit silence is the middle of the range, not zero.
  FragmentAssembler u8(1, silenceByte(SampleKind::u8));
  EXPECT_EQ(u8.take(nullptr, 3), std::vector<uint8_t>(3, 0x80));
}

TEST(PulseFragments, PartialFramesWaitForTheRest) {
  FragmentAssembler a(4, 0);
  const uint8_t first[6] = {1, 2, 3, 4, 5, 6};
  const uint8_t second[2] = {7, 8};
  EXPECT_EQ(a.take(first, 6), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(a.take(second, 2), (std::vector<uint8_t>{5, 6, 7, 8}));
  // A hole completes a pending partial frame with silence.
  EXPECT_TRUE(a.take(first, 3).empty());
  EXPECT_EQ(a.take(nullptr, 5), (std::vector<uint8_t>{1, 2, 3, 0, 0, 0, 0, 0}));
  a.take(first, 2);
  a.reset();  // a move starts over: no bytes of the old source leak into the new one
  EXPECT_EQ(a.take(second, 2).size(), 0u);
}

TEST(BufferJoiner, TinyFragmentsAreJoinedIntoBuffersOfAtLeastTheMinimumInOrder) {
  BufferJoiner j(8);
  EXPECT_FALSE(j.add({1, 2}));
  EXPECT_FALSE(j.add({3, 4, 5}));
  auto joined = j.add({6, 7, 8, 9});
  ASSERT_TRUE(joined);
  EXPECT_EQ(*joined, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(j.pendingBytes(), 0u);
  // A fragment already long enough passes on its own.
  EXPECT_EQ(j.add(std::vector<uint8_t>(20, 7))->size(), 20u);
  // What is left at the end is flushed, not lost; after a reset nothing old comes back.
  EXPECT_FALSE(j.add({1, 2, 3}));
  EXPECT_EQ(j.take(), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_TRUE(j.take().empty());
  EXPECT_FALSE(j.add({4}));
  j.reset();
  EXPECT_FALSE(j.add({5}));
  EXPECT_EQ(j.take(), (std::vector<uint8_t>{5}));
}

// ---- System-audio stream ---------------------------------------------------------------

SystemStreamDecision decide(SystemStreamEvent e, bool up, bool capturedExists, bool defaultExists,
                            bool defaultIsCaptured = false, int follows = 0) {
  SystemStreamFacts f;
  f.contextUp = up;
  f.capturedSinkExists = capturedExists;
  f.defaultSinkExists = defaultExists;
  f.defaultIsCaptured = defaultIsCaptured;
  f.followAttempts = follows;
  return decideSystemStream(e, f);
}

constexpr SystemStreamDecision kKeep{SystemStreamAction::keep, 0};
constexpr SystemStreamDecision kFollow{SystemStreamAction::follow, 0};
SystemStreamDecision stopWith(int64_t code) { return {SystemStreamAction::stop, code}; }

// A server restart must never end the stream: the source would count it as a failure and
// give up for good after a few restarts.
TEST(SystemStreamMapping, LostServerIsAwaitedAndTheNewDefaultFollowedWhenItIsBack) {
  constexpr SystemStreamDecision kAwait{SystemStreamAction::await, 0};
  for (auto e : {SystemStreamEvent::failed, SystemStreamEvent::connectFailed, SystemStreamEvent::movedToNonMonitor,
                 SystemStreamEvent::movedToMonitor, SystemStreamEvent::defaultSinkChanged,
                 SystemStreamEvent::connectionLost, SystemStreamEvent::connectionBack}) {
    EXPECT_EQ(decide(e, false, true, true), kAwait);
    EXPECT_EQ(decide(e, false, false, false), kAwait);
  }
  EXPECT_EQ(decide(SystemStreamEvent::connectionLost, true, true, true), kAwait);
  // Back: the old output's name means nothing on the new server, and earlier failed
  // follows do not count against it.
  EXPECT_EQ(decide(SystemStreamEvent::connectionBack, true, false, true), kFollow);
  EXPECT_EQ(decide(SystemStreamEvent::connectionBack, true, true, true, true, kMaxFollowAttempts), kFollow);
}

TEST(SystemStreamMapping, AnotherClientEndingOrMovingUsIsATakeover) {
  EXPECT_EQ(decide(SystemStreamEvent::failed, true, true, true), stopWith(StreamErrorCode::kTakenOver));
  EXPECT_EQ(decide(SystemStreamEvent::movedToNonMonitor, true, true, true), stopWith(StreamErrorCode::kTakenOver));
}

TEST(SystemStreamMapping, CapturedOutputGoneFollowsTheDefaultOrEnds) {
  // The server rescues or kills the stream when its output vanishes: never stay on a mic.
  EXPECT_EQ(decide(SystemStreamEvent::movedToNonMonitor, true, false, true), kFollow);
  EXPECT_EQ(decide(SystemStreamEvent::failed, true, false, true), kFollow);
  EXPECT_EQ(decide(SystemStreamEvent::failed, true, false, false), stopWith(StreamErrorCode::kDisplayUnavailable));
  EXPECT_EQ(decide(SystemStreamEvent::movedToNonMonitor, true, false, false),
            stopWith(StreamErrorCode::kDisplayUnavailable));
  // Following that keeps failing gives up instead of looping.
  EXPECT_EQ(decide(SystemStreamEvent::failed, true, false, true, false, kMaxFollowAttempts),
            stopWith(StreamErrorCode::kDisplayUnavailable));
  EXPECT_EQ(decide(SystemStreamEvent::connectFailed, true, false, true), kFollow);
  EXPECT_EQ(decide(SystemStreamEvent::connectFailed, true, false, false),
            stopWith(StreamErrorCode::kDisplayUnavailable));
  EXPECT_EQ(decide(SystemStreamEvent::connectFailed, true, true, true), stopWith(StreamErrorCode::kFailed));
}

TEST(SystemStreamMapping, DefaultChangesAreFollowedAndMonitorsKept) {
  EXPECT_EQ(decide(SystemStreamEvent::defaultSinkChanged, true, true, true, false), kFollow);
  EXPECT_EQ(decide(SystemStreamEvent::defaultSinkChanged, true, true, true, true), kKeep);
  EXPECT_EQ(decide(SystemStreamEvent::defaultSinkChanged, true, true, false), kKeep);
  // A follow of a default change is not limited by earlier failed follows.
  EXPECT_EQ(decide(SystemStreamEvent::defaultSinkChanged, true, true, true, false, kMaxFollowAttempts), kFollow);
  EXPECT_EQ(decide(SystemStreamEvent::movedToMonitor, true, true, true), kKeep);
}

// ---- Capture sessions ------------------------------------------------------------------

SessionAction session(SessionEvent e, bool want, bool interrupted, bool up, bool exists = true) {
  return decideSession(e, SessionFacts{want, interrupted, up, exists});
}

TEST(CaptureSessionMapping, StreamFailureWithTheServerUpIsARuntimeError) {
  EXPECT_EQ(session(SessionEvent::streamFailed, true, false, true), SessionAction::reportRuntimeError);
  // Failing again while resuming after an interruption, too.
  EXPECT_EQ(session(SessionEvent::streamFailed, true, true, true), SessionAction::reportRuntimeError);
  // Caused by the connection: that is the interruption, not a second notification.
  EXPECT_EQ(session(SessionEvent::streamFailed, true, false, false), SessionAction::none);
  EXPECT_EQ(session(SessionEvent::streamFailed, false, false, true), SessionAction::none);
}

TEST(CaptureSessionMapping, ServerLossInterruptsAndItsReturnResumesOrFails) {
  EXPECT_EQ(session(SessionEvent::contextLost, true, false, false), SessionAction::reportInterrupted);
  EXPECT_EQ(session(SessionEvent::contextLost, true, true, false), SessionAction::none);
  EXPECT_EQ(session(SessionEvent::contextLost, false, false, false), SessionAction::none);
  EXPECT_EQ(session(SessionEvent::contextBack, true, true, true, true), SessionAction::reconnect);
  EXPECT_EQ(session(SessionEvent::contextBack, true, true, true, false), SessionAction::reportRuntimeError);
  EXPECT_EQ(session(SessionEvent::contextBack, false, true, true), SessionAction::none);
  EXPECT_EQ(session(SessionEvent::contextBack, true, false, true), SessionAction::none);
}

// ---- Device IDs ------------------------------------------------------------------------

TEST(DeviceIds, StablePerNameAndNeverNoneOrTheSystemObject) {
  DeviceIdMap ids;
  const auto a = ids.idFor("mic1");
  const auto b = ids.idFor("mic2");
  EXPECT_GE(a, 2u);
  EXPECT_NE(a, b);
  EXPECT_EQ(ids.idFor("mic1"), a);  // the same name after a reconnection keeps its ID
  EXPECT_EQ(ids.nameOf(b), "mic2");
  EXPECT_EQ(ids.find("mic2"), b);
  EXPECT_FALSE(ids.find("mic3"));
  EXPECT_FALSE(ids.nameOf(0));
  EXPECT_FALSE(ids.nameOf(kAudioObjectSystemObject));
  EXPECT_FALSE(ids.nameOf(b + 1));
}

}  // namespace
}  // namespace qb::pulse
