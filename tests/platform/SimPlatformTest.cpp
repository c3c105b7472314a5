// The smaller simulated services: encoder bitstream, child processes, wake.

#include <gtest/gtest.h>

#include "platform/sim/SimPlatform.hpp"
#include "runtime/ManualExecutor.hpp"

namespace qb {
namespace {

class SimPlatformTest : public ::testing::Test {
 protected:
  ManualExecutor ex;
  SimPlatform sim{ex};
};

TEST_F(SimPlatformTest, EncoderMarksKeyframesAndCarriesParameterSetsOnThemOnly) {
  EncoderSettings settings;
  settings.fps = 3;
  auto made = sim.platform().videoEncoders->create(settings);
  auto& encoder = std::get<0>(made);
  struct Out {
    bool key;
    size_t sets;
    std::vector<uint8_t> nals;
  };
  std::vector<Out> outs;
  auto handler = [&](std::optional<PlatformError> e, const EncodedFrame* f) {
    ASSERT_FALSE(e);
    outs.push_back({!f->notSync, f->parameterSets.size(), f->lengthPrefixedNALs});
  };
  VideoFrame frame;
  for (int i = 0; i < 7; ++i) encoder->encode(frame, i == 4, handler);
  EXPECT_TRUE(outs.empty()) << "output inside encode()";
  encoder->completeFrames();
  ASSERT_EQ(outs.size(), 7u);
  std::vector<bool> keys;
  for (auto& o : outs) {
    keys.push_back(o.key);
    EXPECT_EQ(o.sets, o.key ? 2u : 0u);
    // One length-prefixed unit that fills the sample, IDR on keyframes.
    ASSERT_GE(o.nals.size(), 5u);
    size_t len = (size_t(o.nals[0]) << 24) | (size_t(o.nals[1]) << 16) | (size_t(o.nals[2]) << 8) | o.nals[3];
    EXPECT_EQ(len + 4, o.nals.size());
    EXPECT_EQ(o.nals[4] & 0x1F, o.key ? 5 : 1);
  }
  // First frame, then every fps frames counted from the last keyframe (forced at 4).
  EXPECT_EQ(keys, (std::vector<bool>{true, false, false, true, true, false, false}));
  EXPECT_EQ(SimVideoEncoder::spsFor(settings)[0] & 0x1F, 7);
  EXPECT_EQ(SimVideoEncoder::ppsFor(settings)[0] & 0x1F, 8);

  sim.videoEncoders().failNextCreate(-12902);
  auto failed = sim.videoEncoders().create(settings);
  EXPECT_EQ(std::get<1>(failed), -12902);
}

TEST_F(SimPlatformTest, EncoderOutputErrorsAndInvalidation) {
  auto made = sim.videoEncoders().create({});
  auto& encoder = std::get<0>(made);
  sim.videoEncoders().failNextOutputs(-12911);
  std::vector<std::string> seen;
  auto handler = [&](std::optional<PlatformError> e, const EncodedFrame* f) {
    seen.push_back(e ? "error" + std::to_string(e->code) : (f->notSync ? "p" : "key"));
  };
  encoder->encode({}, false, handler);
  encoder->encode({}, false, handler);
  encoder->completeFrames();
  encoder->invalidate();
  encoder->encode({}, false, handler);
  ex.runUntilIdle();
  EXPECT_EQ(seen, (std::vector<std::string>{"error-12911", "p"}));
}

TEST_F(SimPlatformTest, ChildPrintsPushedLinesInOrderAndExitsOnce) {
  std::vector<std::string> lines;
  std::vector<int> exits;
  std::string error;
  auto child = sim.processes().launch(
      {"mic-log", "--follow"},
      {[&](const std::string& l) { lines.push_back(l); }, [&](int status) { exits.push_back(status); }, {}}, error);
  ASSERT_TRUE(child);
  EXPECT_TRUE(sim.processes().pushStdoutLine("a"));
  EXPECT_TRUE(sim.processes().pushStdoutLine("b"));
  child->terminate();
  child->terminate();
  EXPECT_FALSE(child->isRunning());
  EXPECT_FALSE(sim.processes().pushStdoutLine("after exit"));
  ex.runUntilIdle();
  EXPECT_EQ(lines, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(exits, (std::vector<int>{SimProcessLauncher::kTerminatedStatus}));

  sim.processes().failNextLaunch("no such program");
  EXPECT_FALSE(sim.processes().launch({"missing"}, {}, error));
  EXPECT_EQ(error, "no such program");
  EXPECT_EQ(sim.processes().launches().size(), 2u);
}

TEST_F(SimPlatformTest, ChildOutputArrivesAsPushedToRawReadersAndAsWholeLinesToLineReaders) {
  std::string raw;
  std::vector<std::string> lines;
  std::string error;
  ChildProcessCallbacks rawReader, lineReader;
  rawReader.onStdoutData = [&](std::string_view b) { raw.append(b); };
  lineReader.onStdoutLine = [&](const std::string& l) { lines.push_back(l); };
  auto rawChild = sim.processes().launch({"a"}, rawReader, error);
  sim.processes().pushStdoutData("x\ny");
  sim.processes().pushStdoutLine("z");
  ex.runUntilIdle();
  EXPECT_EQ(raw, "x\nyz\n");
  auto lineChild = sim.processes().launch({"b"}, lineReader, error);
  sim.processes().pushStdoutData("one\ntw");
  sim.processes().pushStdoutData("o\n");
  ex.runUntilIdle();
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "two"}));
}

TEST_F(SimPlatformTest, DestroyedChildCallsNothingMore) {
  int calls = 0;
  std::string error;
  auto child = sim.processes().launch({"x"}, {[&](const std::string&) { ++calls; }, [&](int) { ++calls; }, {}}, error);
  sim.processes().pushStdoutLine("queued");
  child.reset();
  ex.runUntilIdle();
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(sim.processes().runningCount(), 0);
}

TEST_F(SimPlatformTest, WakeReachesCurrentObserversLater) {
  int a = 0, b = 0;
  auto ta = sim.wake().observeWake([&] { ++a; });
  auto tb = sim.wake().observeWake([&] { ++b; });
  sim.wake().postWake();
  tb.reset();  // removed before delivery: not called
  EXPECT_EQ(a, 0);
  ex.runUntilIdle();
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 0);
  EXPECT_EQ(sim.wake().observerCount(), 1u);
}

}  // namespace
}  // namespace qb
