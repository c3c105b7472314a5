#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "audio/AudioConverterPipeline.hpp"
#include "platform/sim/SimAudioSignal.hpp"

namespace qb {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

struct Logged {
  std::vector<std::string> lines;
  std::vector<ConverterDiagnostic::Kind> kinds;
  ConverterDiagnostics logger() {
    return [this](const ConverterDiagnostic& d) {
      lines.push_back(d.message);
      kinds.push_back(d.kind);
    };
  }
  size_t count(const std::string& prefix) const {
    size_t n = 0;
    for (auto& l : lines) n += l.rfind(prefix, 0) == 0;
    return n;
  }
};

std::vector<int16_t> samples(const std::vector<uint8_t>& bytes) {
  std::vector<int16_t> out(bytes.size() / 2);
  std::memcpy(out.data(), bytes.data(), out.size() * 2);
  return out;
}

// A buffer whose channel c at frame i holds value(c, i) as a fraction of full scale.
PcmBuffer makeBuffer(PcmFormat f, size_t frames, const std::function<double(int, size_t)>& value) {
  PcmBuffer b = PcmBuffer::make(f, frames);
  size_t bps = bytesPerSample(f.sampleFormat);
  for (int c = 0; c < f.channels; ++c) {
    for (size_t i = 0; i < frames; ++i) {
      size_t index = f.interleaved ? i * f.channels + c : c * frames + i;
      uint8_t* p = b.bytes.data() + index * bps;
      double v = value(c, i);
      switch (f.sampleFormat) {
        case SampleFormat::Float32: {
          float x = static_cast<float>(v);
          std::memcpy(p, &x, 4);
          break;
        }
        case SampleFormat::Float64:
          std::memcpy(p, &v, 8);
          break;
        case SampleFormat::Int16: {
          auto x = static_cast<int16_t>(std::lround(v * 32767));
          std::memcpy(p, &x, 2);
          break;
        }
        case SampleFormat::Int32: {
          auto x = static_cast<int32_t>(std::llround(v * 2147483647.0));
          std::memcpy(p, &x, 4);
          break;
        }
        case SampleFormat::UInt8:
          *p = static_cast<uint8_t>(std::lround(128 + v * 127));
          break;
        case SampleFormat::Other:
          break;
      }
    }
  }
  return b;
}

TEST(AudioConverterPipeline, SameRateMonoIsCopiedToBothSidesAtFullLevel) {
  Logged log;
  AudioConverterPipeline pipeline(log.logger());
  auto out = pipeline.process(makeBuffer({SampleFormat::Int16, 48000, 1, true}, 480,
                                         [](int, size_t i) { return (static_cast<double>(i) - 240) / 480.0; }));
  ASSERT_TRUE(out);
  auto s = samples(*out);
  ASSERT_EQ(s.size(), 960u);
  for (size_t i = 0; i < 480; ++i) {
    int16_t expected = static_cast<int16_t>(std::lround((static_cast<double>(i) - 240) / 480.0 * 32767));
    ASSERT_EQ(s[2 * i], expected) << i;
    ASSERT_EQ(s[2 * i + 1], expected) << i;
  }
  EXPECT_THAT(log.lines, ElementsAre("Created converter: 48000.0Hz/1ch -> 48000.0Hz/2ch",
                                     "Success #1: 480 frames in -> 480 frames out"));
}

TEST(AudioConverterPipeline, EverySampleTypeInterleavedOrPlanarGivesTheSameStereo) {
  auto value = [](int c, size_t i) { return (c == 0 ? 0.25 : -0.5) * std::sin(static_cast<double>(i) * 0.05); };
  for (auto type :
       {SampleFormat::Float32, SampleFormat::Float64, SampleFormat::Int16, SampleFormat::Int32, SampleFormat::UInt8}) {
    for (bool interleaved : {true, false}) {
      SCOPED_TRACE(std::string(sampleFormatName(type)) + (interleaved ? " interleaved" : " planar"));
      AudioConverterPipeline pipeline;
      auto out = pipeline.process(makeBuffer({type, 48000, 2, interleaved}, 256, value));
      ASSERT_TRUE(out);
      auto s = samples(*out);
      ASSERT_EQ(s.size(), 512u);
      int tolerance = type == SampleFormat::UInt8 ? 300 : 2;
      for (size_t i = 0; i < 256; ++i) {
        ASSERT_NEAR(s[2 * i], value(0, i) * 32767, tolerance) << i;
        ASSERT_NEAR(s[2 * i + 1], value(1, i) * 32767, tolerance) << i;
      }
    }
  }
}

TEST(AudioConverterPipeline, ResamplingPrimesThenDeliversAtTheTargetRate) {
  Logged log;
  AudioConverterPipeline pipeline(log.logger());
  PcmFormat in{SampleFormat::Float32, 44100, 1, true};
  size_t total = 0;
  size_t produced = 0;
  for (int call = 0; call < 100; ++call) {  // one second in 10 ms buffers
    auto out = pipeline.process(makeBuffer(in, 441, [](int, size_t) { return 0.1; }));
    if (out) {
      EXPECT_LE(out->size() / 4, 528u);  // capacity: 48000 / 44100 x 441 x 1.1
      total += out->size() / 4;
      ++produced;
    }
  }
  EXPECT_EQ(log.lines.front(), "Created converter: 44100.0Hz/1ch -> 48000.0Hz/2ch");
  // The filter delay holds back a few milliseconds; the rest comes out at 48 kHz.
  EXPECT_GT(total, 47000u);
  EXPECT_LE(total, 48000u);
  for (auto& line : log.lines) {
    if (line.rfind("Zero frames", 0) == 0) {
      EXPECT_EQ(line, "Zero frames output (resampler priming), input was 441");
    }
  }
  EXPECT_EQ(log.count("Success #"), std::min<size_t>(produced, 3));
}

TEST(AudioConverterPipeline, FormatChangeRecreatesAndResetStartsOver) {
  Logged log;
  AudioConverterPipeline pipeline(log.logger());
  auto one = [](int, size_t) { return 0.5; };
  ASSERT_TRUE(pipeline.process(makeBuffer({SampleFormat::Int16, 48000, 1, true}, 100, one)));
  ASSERT_TRUE(pipeline.process(makeBuffer({SampleFormat::Int16, 48000, 2, true}, 100, one)));
  ASSERT_TRUE(pipeline.process(makeBuffer({SampleFormat::Int16, 48000, 2, true}, 100, one)));
  EXPECT_EQ(log.count("Created converter: "), 2u);
  pipeline.reset();
  ASSERT_TRUE(pipeline.process(makeBuffer({SampleFormat::Int16, 48000, 2, true}, 100, one)));
  EXPECT_THAT(
      log.lines,
      ElementsAre("Created converter: 48000.0Hz/1ch -> 48000.0Hz/2ch", "Success #1: 100 frames in -> 100 frames out",
                  "Created converter: 48000.0Hz/2ch -> 48000.0Hz/2ch", "Success #2: 100 frames in -> 100 frames out",
                  "Success #3: 100 frames in -> 100 frames out", "Pipeline reset",
                  "Created converter: 48000.0Hz/2ch -> 48000.0Hz/2ch", "Success #1: 100 frames in -> 100 frames out"));
}

TEST(AudioConverterPipeline, FailuresAreLoggedOnlyEarly) {
  Logged log;
  AudioConverterPipeline pipeline(log.logger());
  PcmBuffer bad;
  bad.format = {SampleFormat::Other, 22050.5, 2, true};
  bad.frameLength = 10;
  for (int i = 0; i < 30; ++i) EXPECT_FALSE(pipeline.process(bad));
  ASSERT_EQ(log.lines.size(), 10u);
  EXPECT_EQ(log.lines[0], "FAILED to create converter from 22050.5Hz/2ch");
  EXPECT_EQ(log.count("No converter available"), 9u);
  EXPECT_EQ(log.kinds[0], ConverterDiagnostic::Kind::converterFailed);
  EXPECT_EQ(log.kinds[9], ConverterDiagnostic::Kind::noConverter);

  // A good format afterwards works; an empty buffer is refused before converting.
  log.lines.clear();
  EXPECT_FALSE(pipeline.process(PcmBuffer::make({SampleFormat::Int16, 16000, 1, true}, 0)));
  EXPECT_THAT(log.lines, ElementsAre("Created converter: 16000.0Hz/1ch -> 48000.0Hz/2ch"));
}

TEST(AudioConverterPipeline, RefusesBufferShorterThanItsFrameLength) {
  Logged log;
  AudioConverterPipeline pipeline(log.logger());
  PcmBuffer b = PcmBuffer::make({SampleFormat::Float32, 48000, 2, true}, 100);
  b.bytes.resize(100);
  EXPECT_FALSE(pipeline.process(b));
  EXPECT_THAT(log.lines.back(), HasSubstr("Invalid input buffer"));
}

TEST(AudioConverterPipeline, ManyChannelsAreMixedToStereo) {
  for (int channels : {3, 6, 10}) {
    SCOPED_TRACE(channels);
    AudioConverterPipeline pipeline;
    auto out = pipeline.process(makeBuffer({SampleFormat::Float32, 48000, channels, true}, 480, [](int c, size_t i) {
      return c < 2 ? 0.5 * std::sin(static_cast<double>(i) * 0.1) : 0.0;
    }));
    ASSERT_TRUE(out);
    auto s = samples(*out);
    ASSERT_EQ(s.size(), 960u);
    int peak = 0;
    for (auto v : s) peak = std::max(peak, std::abs(static_cast<int>(v)));
    EXPECT_GT(peak, 1000);  // the front channels are heard
  }
}

TEST(AudioConverterPipeline, SineSurvivesResamplingCleanly) {
  AudioConverterPipeline pipeline;
  std::vector<int16_t> out;
  const PcmFormat in{SampleFormat::Float32, 44100, 1, true};
  const auto d = pcmDescription(in.sampleFormat, in.sampleRate, 1, true);
  double phase = 0;
  for (int call = 0; call < 50; ++call) {
    auto bytes = pipeline.process(*copyToPcmBuffer(sineBuffer(d, 441, 1000, 0.5, phase), in));
    if (bytes) {
      auto s = samples(*bytes);
      out.insert(out.end(), s.begin(), s.end());
    }
  }
  ASSERT_GT(out.size(), 40000u);
  EXPECT_GT(sineSnrDb(out, 1000, 48000, 2000), 80.0);
}

}  // namespace
}  // namespace qb
