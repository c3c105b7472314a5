// The latency bookkeeping of the video benchmark: which read a frame arrived with, which paint
// a frame answers, and what is left out, so that a figure is never flattered or inflated by
// frames the run could not have shown.

#include <gtest/gtest.h>

#include <vector>

#include "../../bench/FrameLatency.hpp"

namespace qbbench {
namespace {

ShownFrame shown(std::optional<uint16_t> counter, double arrival, std::optional<double> grabbed = std::nullopt) {
  return {counter, arrival, grabbed};
}

TEST(FrameLatency, AFrameArrivesWithTheReadThatDeliveredItsLastByte) {
  const std::vector<ReadMark> reads = {{100, 1.0}, {250, 1.5}, {400, 2.0}};
  EXPECT_EQ(arrivalOf(reads, 1), 1.0);
  EXPECT_EQ(arrivalOf(reads, 100), 1.0);  // ends exactly with the first read
  EXPECT_EQ(arrivalOf(reads, 101), 1.5);  // one byte more came with the next read
  EXPECT_EQ(arrivalOf(reads, 400), 2.0);
  EXPECT_FALSE(arrivalOf(reads, 401).has_value());  // never fully arrived
  EXPECT_FALSE(arrivalOf({}, 1).has_value());
}

TEST(FrameLatency, EachPaintIsAnsweredByTheFirstLaterFrameShowingIt) {
  const std::vector<ShownFrame> frames = {
      shown(1, 10.00), shown(std::nullopt, 10.10),  // caught half-way: unreadable
      shown(2, 10.25), shown(2, 10.30),             // the later copy does not count
      shown(3, 10.52), shown(4, 11.00),             // 4 shows up only after a repaint was missed
      shown(5, 12.00),
  };
  const std::vector<Paint> paints = {{2, 10.05}, {3, 10.50}, {4, 10.90}};
  const LatencyResult r = matchPaints(paints, frames, 0.5);
  ASSERT_EQ(r.latencies.size(), 3u);
  EXPECT_NEAR(r.latencies[0], 0.20, 1e-9);
  EXPECT_NEAR(r.latencies[1], 0.02, 1e-9);
  EXPECT_NEAR(r.latencies[2], 0.10, 1e-9);
  EXPECT_EQ(r.missed, 0);
}

TEST(FrameLatency, PaintsOutsideTheRunAreLeftOutAndUnseenOnesCountAsMissed) {
  const std::vector<ShownFrame> frames = {shown(7, 5.0), shown(8, 5.2), shown(10, 5.6), shown(11, 7.0), shown(12, 7.3)};
  const std::vector<Paint> paints = {
      {7, 4.0},   // before the capture started: its first frame shows it late, not slowly
      {8, 5.1},   // seen
      {9, 5.3},   // painted over before any frame showed it
      {10, 5.5},  // seen
      {12, 7.2},  // within the tail: the run ended too soon to judge
  };
  const LatencyResult r = matchPaints(paints, frames, 0.5);
  EXPECT_EQ(r.latencies.size(), 2u);
  EXPECT_EQ(r.missed, 1);
}

TEST(FrameLatency, ACounterThatWrappedIsNotTakenForAnEarlierPaint) {
  // Counter 3 on screen before the paint of a later 3 (after the 16-bit wrap).
  const std::vector<ShownFrame> frames = {shown(3, 1.0), shown(4, 1.2), shown(3, 2.0), shown(3, 3.0)};
  const LatencyResult r = matchPaints({{3, 1.9}}, frames, 0.5);
  ASSERT_EQ(r.latencies.size(), 1u);
  EXPECT_NEAR(r.latencies[0], 0.1, 1e-9);
  EXPECT_TRUE(matchPaints({{3, 1.0}}, std::vector<ShownFrame>{}, 0.5).latencies.empty());
}

TEST(FrameLatency, ALatencyIsCutAtTheGrabWhoseClockIsAnchoredAtTheQuickestOne) {
  // Grab clock origin 100.0: paint 2 grabbed after 1 ms, paint 3 after 5 ms (held back).
  const std::vector<ShownFrame> frames = {shown(1, 99.0, -1.0), shown(2, 100.520, 0.501), shown(3, 101.030, 1.005),
                                          shown(4, 102.0, 1.9)};
  const std::vector<Paint> paints = {{2, 100.500}, {3, 101.000}};
  const LatencyResult r = matchPaints(paints, frames, 0.5);
  ASSERT_EQ(r.matches.size(), 2u);
  const auto split = splitAtGrab(paints, frames, r);
  ASSERT_TRUE(split.has_value());
  // The quickest paint-to-grab (1 ms) becomes 0; the other keeps its 4 ms more.
  EXPECT_NEAR(split->toGrab[0], 0.000, 1e-9);
  EXPECT_NEAR(split->toGrab[1], 0.004, 1e-9);
  EXPECT_NEAR(split->grabToOutput[0], 0.020, 1e-9);
  EXPECT_NEAR(split->grabToOutput[1], 0.026, 1e-9);
  for (size_t i = 0; i < 2; ++i) EXPECT_NEAR(split->toGrab[i] + split->grabToOutput[i], r.latencies[i], 1e-9);

  // A stream without grab times (raw H.264) cannot be cut.
  std::vector<ShownFrame> unstamped = frames;
  unstamped[2].grabbed.reset();
  EXPECT_FALSE(splitAtGrab(paints, unstamped, matchPaints(paints, unstamped, 0.5)).has_value());
  EXPECT_FALSE(splitAtGrab(paints, frames, LatencyResult{}).has_value());
}

TEST(FrameLatency, QuantilesUseTheNearestRank) {
  EXPECT_EQ(quantile({}, 0.5), 0);
  EXPECT_EQ(quantile({5}, 0.9), 5);
  EXPECT_EQ(quantile({4, 1, 3, 2}, 0.5), 2);  // unsorted input
  EXPECT_EQ(quantile({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 0.9), 9);
  EXPECT_EQ(quantile({1, 2, 3}, 1.0), 3);
}

}  // namespace
}  // namespace qbbench
