// Packaging of the encoder's output for the wire: Annex B conversion, parameter-set
// caching, timestamps and sequence numbers.

#include "screen/H264Packager.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "screen/VideoSourceError.hpp"

using namespace qb;
using Bytes = std::vector<uint8_t>;

namespace {

const Bytes kSPS{0x67, 0x4D, 0x40, 0x28};
const Bytes kPPS{0x68, 0xEE, 0x3C, 0x80};

EncodedFrame encoded(Bytes lengthPrefixed, bool keyframe, std::vector<Bytes> parameterSets = {}, double t = 0) {
  EncodedFrame f;
  f.lengthPrefixedNALs = std::move(lengthPrefixed);
  f.notSync = !keyframe;
  f.parameterSets = std::move(parameterSets);
  f.presentationTime = t;
  return f;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes kStart{0, 0, 0, 1};

}  // namespace

TEST(AnnexBConversion, KeyframesCarryParameterSetsAndEveryUnitGetsAStartCode) {
  const Bytes sample{0, 0, 0, 4, 0xAA, 0xBB, 0xCC, 0xDD};
  EXPECT_EQ(convertAVCCToAnnexB(sample, true, kSPS, kPPS),
            concat({kStart, kSPS, kStart, kPPS, kStart, {0xAA, 0xBB, 0xCC, 0xDD}}));
  EXPECT_EQ(convertAVCCToAnnexB(sample, false, kSPS, kPPS), concat({kStart, {0xAA, 0xBB, 0xCC, 0xDD}}));
  // Only the parameter sets that are known go in front.
  EXPECT_EQ(convertAVCCToAnnexB(sample, true, std::nullopt, kPPS),
            concat({kStart, kPPS, kStart, {0xAA, 0xBB, 0xCC, 0xDD}}));

  // Two units, the second of length 0, and a unit whose bytes contain a start-code-like run,
  // copied as they are.
  const Bytes two{0, 0, 0, 3, 0x00, 0x00, 0x01, 0, 0, 0, 0};
  EXPECT_EQ(convertAVCCToAnnexB(two, false, kSPS, kPPS), concat({kStart, {0x00, 0x00, 0x01}, kStart}));
}

TEST(AnnexBConversion, TruncatedInputKeepsTheUnitsThatFit) {
  // The second unit claims 9 bytes but only 2 follow: it and everything after it go.
  const Bytes overrun{0, 0, 0, 1, 0x41, 0, 0, 0, 9, 0x01, 0x02};
  EXPECT_EQ(convertAVCCToAnnexB(overrun, false, kSPS, kPPS), concat({kStart, {0x41}}));
  // Fewer than 4 trailing bytes are ignored.
  EXPECT_EQ(convertAVCCToAnnexB(Bytes{0, 0, 0, 1, 0x41, 0, 0}, false, kSPS, kPPS), concat({kStart, {0x41}}));
  // A length near 2^32 must not wrap the bounds check.
  EXPECT_TRUE(convertAVCCToAnnexB(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3}, false, kSPS, kPPS).empty());
  // Too short for even one length: a keyframe still gets its parameter sets.
  EXPECT_EQ(convertAVCCToAnnexB(Bytes{0, 0}, true, kSPS, kPPS), concat({kStart, kSPS, kStart, kPPS}));
  EXPECT_TRUE(convertAVCCToAnnexB(Bytes{0, 0}, false, kSPS, kPPS).empty());
}

TEST(H264Packager, KeyframesRefreshTheCachedParameterSetsAndOthersReuseNothing) {
  H264Packager p;
  auto first = p.package(encoded({0, 0, 0, 1, 0x65}, true, {kSPS, kPPS}), 0.0);
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->isKeyframe);
  EXPECT_EQ(first->annexB, concat({kStart, kSPS, kStart, kPPS, kStart, {0x65}}));

  // A non-keyframe's parameter sets are not looked at, and the cache is not repeated.
  const Bytes otherSPS{0x67, 0x64};
  auto delta = p.package(encoded({0, 0, 0, 1, 0x41}, false, {otherSPS}), 0.0);
  EXPECT_FALSE(delta->isKeyframe);
  EXPECT_EQ(delta->annexB, concat({kStart, {0x41}}));
  EXPECT_EQ(p.cachedSPS(), kSPS);

  // A keyframe without parameter sets uses the cache; one with only an SPS (or an empty
  // PPS) replaces the SPS and keeps the cached PPS.
  auto bare = p.package(encoded({0, 0, 0, 1, 0x65}, true), 0.0);
  EXPECT_EQ(bare->annexB, concat({kStart, kSPS, kStart, kPPS, kStart, {0x65}}));
  auto partial = p.package(encoded({0, 0, 0, 1, 0x65}, true, {otherSPS, {}}), 0.0);
  EXPECT_EQ(partial->annexB, concat({kStart, otherSPS, kStart, kPPS, kStart, {0x65}}));

  // A new run numbers from 0 again and keeps the cache.
  p.startRun();
  auto again = p.package(encoded({0, 0, 0, 1, 0x65}, true), 0.0);
  EXPECT_EQ(again->sequence, 0u);
  EXPECT_EQ(again->annexB, concat({kStart, otherSPS, kStart, kPPS, kStart, {0x65}}));
}

TEST(H264Packager, SequenceNumbersSkipEmptyFramesAndWrap) {
  H264Packager p;
  EXPECT_EQ(p.package(encoded({0, 0, 0, 1, 0x65}, true, {kSPS, kPPS}), 0.0)->sequence, 0u);
  // No bytes at all: no frame, no sequence number, though a keyframe still caches.
  EXPECT_FALSE(p.package(encoded({}, true, {Bytes{0x67, 1}}), 0.0));
  EXPECT_EQ(p.cachedSPS(), (Bytes{0x67, 1}));
  // A sample too short to hold a unit is still a frame, with an empty payload.
  auto shortFrame = p.package(encoded({0, 0}, false), 0.0);
  ASSERT_TRUE(shortFrame);
  EXPECT_EQ(shortFrame->sequence, 1u);
  EXPECT_TRUE(shortFrame->annexB.empty());

  p.setNextSequence(4294967295u);
  EXPECT_EQ(p.package(encoded({0, 0, 0, 1, 0x41}, false), 0.0)->sequence, 4294967295u);
  EXPECT_EQ(p.package(encoded({0, 0, 0, 1, 0x41}, false), 0.0)->sequence, 0u);
}

TEST(H264Packager, TimestampsCountMicrosecondsFromTheFirstPicture) {
  H264Packager p;
  const Bytes unit{0, 0, 0, 1, 0x41};
  EXPECT_EQ(p.package(encoded(unit, false, {}, 1000.0), 1000.0)->pts, 0u);
  EXPECT_EQ(p.package(encoded(unit, false, {}, 1000.1), 1000.0)->pts, 100000u);
  EXPECT_EQ(p.package(encoded(unit, false, {}, 1000.0000019), 1000.0)->pts, 1u);
  // Before the origin, or without one: 0, never a wrapped huge value.
  EXPECT_EQ(p.package(encoded(unit, false, {}, 999.5), 1000.0)->pts, 0u);
  EXPECT_EQ(p.package(encoded(unit, false, {}, 1234.0), std::nullopt)->pts, 0u);

  // Sums of frame intervals that are not exact in binary still land on the microsecond.
  double t = 5000.0;
  for (int i = 0; i < 30; ++i) t += 1.0 / 30;
  EXPECT_EQ(microsecondsSince(5000.0, t), 1000000u);
  // A time a hair below a whole microsecond rounds to it instead of being cut to the one before.
  EXPECT_EQ(microsecondsSince(1000.0, 1000.0 + 2.9999999e-6), 3u);
}

// The other forms are what ScreenVideoSourceTest's starts answer.
TEST(VideoSourceError, PrintableForms) {
  EXPECT_EQ(VideoSourceError::permissionDenied().description(), "permissionDenied");
  // Host text inside the message cannot break out of the literal.
  EXPECT_EQ(VideoSourceError::targetNotFound("Invalid target type: a\"b\\c\nd\x01").description(),
            "targetNotFound(\"Invalid target type: a\\\"b\\\\c\\nd\\u{1}\")");
}
