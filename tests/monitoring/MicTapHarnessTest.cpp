#include "monitoring/MicTapHarness.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "audio/AudioTestSupport.hpp"
#include "runtime/ManualExecutor.hpp"

namespace qb::testing {
namespace {

using ::testing::ElementsAre;

TEST(MicTapHarness, RendersTheToneThroughTheTapAndConverterSilently) {
  ManualExecutor ex;
  OutputRecorder output;
  runMicTapHarnessCommand(ex);
  // A 0.5 sine in 16 bits: 0.5 / sqrt(2), a little under because samples round toward zero.
  EXPECT_THAT(output.lines(),
              ElementsAre("MicTapHarness: starting...", "CMD_RESPONSE:TEST_MIC_TAP:ok:taps=15 frames=15 avgRMS=0.3535",
                          "MicTapHarness: success taps=15 frames=15 avgRMS=0.3535"));
  EXPECT_TRUE(output.frames().empty());
  EXPECT_EQ(ex.elapsed(), 0);
}

TEST(MicTapHarness, EachFailureAnswersOnceWithItsName) {
  struct Case {
    MicTapHarnessFaults faults;
    std::string name;
  };
  const Case cases[] = {
      {{true, std::nullopt, false}, "converterCreationFailed"},
      {{false, RenderStatus::error, false}, "renderingFailed"},
      // Statuses that ask for another try give up in the end.
      {{false, RenderStatus::insufficientDataFromInputNode, false}, "renderingFailed"},
      {{false, RenderStatus::cannotDoInCurrentContext, false}, "renderingFailed"},
      {{false, std::nullopt, true}, "noDataCaptured"},
  };
  for (const auto& c : cases) {
    ManualExecutor ex;
    OutputRecorder output;
    runMicTapHarnessCommand(ex, c.faults);
    EXPECT_THAT(output.lines(), ElementsAre("MicTapHarness: starting...", "CMD_RESPONSE:TEST_MIC_TAP:error:" + c.name,
                                            "MicTapHarness: failed " + c.name));
  }
}

TEST(OfflineRenderGraph, MixesAtTheMixersVolumesAndRefusesWhatItCannotRender) {
  OfflineRenderGraph graph;
  const PcmFormat mono{SampleFormat::Float32, 48000, 1, false};
  auto constant = [](float v) {
    return [v](size_t frames, std::vector<std::vector<float>>& out) {
      for (auto& plane : out) std::fill(plane.begin(), plane.begin() + static_cast<std::ptrdiff_t>(frames), v);
      return true;
    };
  };
  auto mixer = graph.addMixerNode();
  ASSERT_FALSE(graph.connect(graph.addSourceNode(constant(0.25f)), mixer, mono));
  ASSERT_FALSE(graph.connect(graph.addSourceNode(constant(0.5f)), mixer, mono));
  ASSERT_FALSE(graph.connect(mixer, graph.mainMixer(), mono));
  EXPECT_TRUE(graph.connect(mixer, mixer, mono));
  EXPECT_TRUE(graph.connect(mixer, graph.mainMixer(), PcmFormat{SampleFormat::Int16, 48000, 1, false}));
  graph.setOutputVolume(mixer, 2.0f);
  graph.setOutputVolume(graph.mainMixer(), 0.5f);
  std::vector<size_t> tapped;
  float tappedValue = 0;
  graph.installTap(mixer, 4, [&](const PcmBuffer& b) {
    tapped.push_back(b.frameLength);
    std::memcpy(&tappedValue, b.bytes.data(), 4);
  });

  PcmBuffer out;
  EXPECT_EQ(graph.renderOffline(10, out), RenderStatus::cannotDoInCurrentContext);
  EXPECT_TRUE(graph.start());  // offline rendering only
  ASSERT_FALSE(graph.enableManualRenderingMode(mono, 10));
  ASSERT_FALSE(graph.start());
  std::string error;
  EXPECT_EQ(graph.renderOffline(11, out, &error), RenderStatus::error);
  EXPECT_FALSE(error.empty());
  ASSERT_EQ(graph.renderOffline(10, out), RenderStatus::success);
  EXPECT_THAT(tapped, ElementsAre(4u, 4u, 2u));
  EXPECT_FLOAT_EQ(tappedValue, 1.5f);
  float last;
  std::memcpy(&last, out.bytes.data() + 9 * 4, 4);
  EXPECT_FLOAT_EQ(last, 0.75f);
  EXPECT_EQ(out.frameLength, 10u);
}

}  // namespace
}  // namespace qb::testing
