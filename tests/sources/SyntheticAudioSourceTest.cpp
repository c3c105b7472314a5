#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "audio/AudioLevel.hpp"
#include "audio/AudioTestSupport.hpp"
#include "runtime/ManualExecutor.hpp"
#include "sources/SyntheticAudioSource.hpp"

namespace qb {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::OutputRecorder;
using Type = AudioProtocol::FrameType;
using S = SyntheticAudioSource;

std::shared_ptr<S> made(Result<std::shared_ptr<S>, std::string> r) {
  if (auto* e = std::get_if<std::string>(&r)) ADD_FAILURE() << *e;
  return std::get<std::shared_ptr<S>>(r);
}

TEST(SyntheticAudioSource, GeneratesTheDocumentedSamples) {
  ManualExecutor executor;
  auto tone = made(S::testTone(executor, 0.5, Type::mic));
  EXPECT_EQ(tone->generateSample(0), 0);
  EXPECT_EQ(tone->generateSample(1), 2138);
  EXPECT_DOUBLE_EQ(tone->expectedRMS(), 0.35355339059327373);
  EXPECT_EQ(tone->patternDescription(), "sine(1000Hz, 0.500)");
  EXPECT_EQ(tone->sourceID(), "synthetic_mic");

  auto square = made(S::make(executor, S::Square{1000, 0.5}, Type::system));
  EXPECT_EQ(square->sourceID(), "synthetic_system");
  for (int64_t i = 0; i < 96; ++i) ASSERT_EQ(square->generateSample(i), (i % 48) < 24 ? 16383 : -16383) << i;
  EXPECT_EQ(square->patternDescription(), "square(1000Hz, 0.500)");

  EXPECT_EQ(made(S::make(executor, S::Dc{2.0}, Type::mic))->generateSample(5), 32767);
  EXPECT_EQ(made(S::make(executor, S::Dc{-2.0}, Type::mic))->generateSample(5), -32768);
  EXPECT_EQ(made(S::make(executor, S::Dc{1e300}, Type::mic))->generateSample(0), 32767);
  auto target = made(S::withTargetRMS(executor, 0.25, Type::mic));
  EXPECT_EQ(target->patternDescription(), "dc(0.250)");
  EXPECT_EQ(target->expectedRMS(), 0.25);

  auto custom = made(S::make(executor, S::Custom{[](int64_t i) { return static_cast<int16_t>(i * 2); }}, Type::mic));
  EXPECT_EQ(custom->generateSample(21), 42);
  EXPECT_EQ(custom->expectedRMS(), -1.0);
  EXPECT_EQ(custom->patternDescription(), "custom");
  EXPECT_EQ(S::silence(executor, Type::mic)->expectedRMS(), 0.0);
  EXPECT_EQ(made(S::make(executor, S::Noise{0.1}, Type::mic))->patternDescription(), "noise(rms=0.100)");
}

TEST(SyntheticAudioSource, NoiseMeasuresNearItsTargetRms) {
  ManualExecutor executor;
  auto noise = made(S::make(executor, S::Noise{0.2}, Type::mic));
  double sum = 0;
  const int n = 200000;
  for (int i = 0; i < n; ++i) {
    double v = noise->generateSample(i) / 32767.0;
    sum += v * v;
  }
  EXPECT_NEAR(std::sqrt(sum / n), 0.2, 0.01);
}

TEST(SyntheticAudioSource, RefusesParametersWithoutADefinedSignal) {
  ManualExecutor executor;
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  for (S::Pattern p :
       std::vector<S::Pattern>{S::Dc{nan}, S::Sine{inf, 0.5}, S::Sine{1000, nan}, S::Noise{inf}, S::Square{0, 0.5},
                               S::Square{-5, 0.5}, S::Square{48000.5, 0.5}, S::Square{nan, 0.5}, S::Custom{}}) {
    auto r = S::make(executor, p, Type::mic);
    ASSERT_TRUE(std::holds_alternative<std::string>(r));
    EXPECT_THAT(std::get<std::string>(r), HasSubstr("SyntheticAudioSource: "));
  }
  EXPECT_THAT(std::get<std::string>(S::make(executor, S::Square{0, 0.5}, Type::mic)), HasSubstr("square frequency"));
  EXPECT_TRUE(std::holds_alternative<std::string>(S::testTone(executor, nan, Type::mic)));
  // The edge of the range is a one-sample period.
  auto fastest = made(S::make(executor, S::Square{48000, 1.0}, Type::mic));
  EXPECT_EQ(fastest->generateSample(0), -32767);
}

TEST(SyntheticAudioSource, DeliversOneStereoFramePerPeriodAndLogs) {
  ManualExecutor executor;
  OutputRecorder out;
  auto tone = made(S::testTone(executor, 0.5, Type::mic));
  std::vector<std::vector<uint8_t>> frames;
  tone->setOnAudioData([&](std::span<const uint8_t> b, int64_t) { frames.emplace_back(b.begin(), b.end()); });
  tone->start();
  executor.advance(1.0 - 1e-4);
  ASSERT_EQ(frames.size(), 50u);
  for (auto& f : frames) {
    ASSERT_EQ(f.size(), 3840u);
    for (size_t i = 0; i < f.size(); i += 4) ASSERT_TRUE(f[i] == f[i + 2] && f[i + 1] == f[i + 3]);
  }
  EXPECT_NEAR(calculateRMSInt16(frames[10]), tone->expectedRMS(), 1e-3);
  // Sample 961 is the second of the second frame: phase runs on across frames.
  EXPECT_EQ(static_cast<int16_t>(frames[1][4] | frames[1][5] << 8), tone->generateSample(961));

  tone->start();  // already running: nothing happens
  EXPECT_EQ(out.lines().size(), 1u);
  tone->stop();
  executor.advance(0.1);
  EXPECT_EQ(frames.size(), 50u);
  EXPECT_THAT(out.lines(), ElementsAre("SyntheticAudioSource[synthetic_mic]: started with pattern sine(1000Hz, 0.500)",
                                       "SyntheticAudioSource[synthetic_mic]: stopped",
                                       "SyntheticAudioSource[synthetic_mic]: emitted 50 frames"));

  // A new run starts the signal over.
  frames.clear();
  tone->start();
  executor.advance(0.001);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0][0], 0);
  EXPECT_EQ(static_cast<int16_t>(frames[0][4] | frames[0][5] << 8), 2138);
  tone->stop();
  executor.advance(0.1);
}

TEST(SyntheticAudioSource, SilenceIsZeroBytes) {
  ManualExecutor executor;
  OutputRecorder out;
  auto silent = S::silence(executor, Type::system);
  std::vector<uint8_t> last;
  silent->setOnAudioData([&](std::span<const uint8_t> b, int64_t) { last.assign(b.begin(), b.end()); });
  silent->start();
  executor.advance(0.05);
  EXPECT_EQ(last, std::vector<uint8_t>(3840, 0));
  silent->stop();
  executor.advance(0.1);
}

}  // namespace
}  // namespace qb
