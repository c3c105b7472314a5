// The converter on the inputs capture delivers: CPU per second of audio (the
// "audio_s_per_cpu_s" counter is how many times faster than real time it runs) and the
// SNR of a 1 kHz sine resampled 44100 -> 48000.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "audio/AudioConverterPipeline.hpp"

namespace {

// One second of a 1 kHz sine in 10 ms buffers of the given format.
std::vector<qb::PcmBuffer> secondOfSine(qb::PcmFormat f, double amplitude = 0.5) {
  auto framesPerBuffer = static_cast<size_t>(f.sampleRate / 100);
  std::vector<qb::PcmBuffer> buffers;
  size_t n = 0;
  for (int b = 0; b < 100; ++b) {
    auto buf = qb::PcmBuffer::make(f, framesPerBuffer);
    for (size_t i = 0; i < framesPerBuffer; ++i, ++n) {
      double v = amplitude * std::sin(2 * std::numbers::pi * 1000 * static_cast<double>(n) / f.sampleRate);
      for (int c = 0; c < f.channels; ++c) {
        size_t index = f.interleaved ? i * static_cast<size_t>(f.channels) + static_cast<size_t>(c)
                                     : static_cast<size_t>(c) * framesPerBuffer + i;
        if (f.sampleFormat == qb::SampleFormat::Float32) {
          auto x = static_cast<float>(v);
          std::memcpy(buf.bytes.data() + index * 4, &x, 4);
        } else {
          auto x = static_cast<int16_t>(std::lround(v * 32767));
          std::memcpy(buf.bytes.data() + index * 2, &x, 2);
        }
      }
    }
    buffers.push_back(std::move(buf));
  }
  return buffers;
}

// Signal-to-(noise + distortion) of the left channel against the best-fitting 1 kHz sine.
double snrDb(const std::vector<int16_t>& stereo, size_t skipFrames) {
  std::vector<double> y;
  for (size_t i = skipFrames; i < stereo.size() / 2; ++i) y.push_back(stereo[2 * i]);
  double ss = 0, sc = 0, cc = 0, ys = 0, yc = 0;
  for (size_t i = 0; i < y.size(); ++i) {
    double w = 2 * std::numbers::pi * 1000 * static_cast<double>(i) / 48000;
    double s = std::sin(w), c = std::cos(w);
    ss += s * s, sc += s * c, cc += c * c, ys += y[i] * s, yc += y[i] * c;
  }
  double det = ss * cc - sc * sc;
  double a = (ys * cc - yc * sc) / det, b = (yc * ss - ys * sc) / det;
  double signal = 0, noise = 0;
  for (size_t i = 0; i < y.size(); ++i) {
    double w = 2 * std::numbers::pi * 1000 * static_cast<double>(i) / 48000;
    double fit = a * std::sin(w) + b * std::cos(w);
    signal += fit * fit;
    noise += (y[i] - fit) * (y[i] - fit);
  }
  return 10 * std::log10(signal / noise);
}

void convertSecond(benchmark::State& state, qb::PcmFormat format) {
  auto input = secondOfSine(format);
  qb::AudioConverterPipeline pipeline;
  for (auto& b : input) pipeline.process(b);  // past creation and priming
  for (auto _ : state) {
    for (auto& b : input) benchmark::DoNotOptimize(pipeline.process(b));
  }
  state.counters["audio_s_per_cpu_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_Convert_44100_mono_f32(benchmark::State& s) { convertSecond(s, {qb::SampleFormat::Float32, 44100, 1, true}); }
void BM_Convert_48000_stereo_f32_planar(benchmark::State& s) {
  convertSecond(s, {qb::SampleFormat::Float32, 48000, 2, false});
}
void BM_Convert_16000_mono_s16(benchmark::State& s) { convertSecond(s, {qb::SampleFormat::Int16, 16000, 1, true}); }
void BM_Convert_96000_stereo_s16(benchmark::State& s) { convertSecond(s, {qb::SampleFormat::Int16, 96000, 2, true}); }
BENCHMARK(BM_Convert_44100_mono_f32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Convert_48000_stereo_f32_planar)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Convert_16000_mono_s16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Convert_96000_stereo_s16)->Unit(benchmark::kMillisecond);

// Quality, not speed: one pass over two seconds, the SNR as a counter.
void BM_Sine1kSnr_44100_to_48000(benchmark::State& state) {
  double snr = 0;
  for (auto _ : state) {
    qb::AudioConverterPipeline pipeline;
    std::vector<int16_t> out;
    for (int pass = 0; pass < 2; ++pass) {
      for (auto& b : secondOfSine({qb::SampleFormat::Float32, 44100, 1, true})) {
        if (auto bytes = pipeline.process(b)) {
          size_t n = bytes->size() / 2;
          out.resize(out.size() + n);
          std::memcpy(out.data() + out.size() - n, bytes->data(), bytes->size());
        }
      }
    }
    snr = snrDb(out, 4800);
  }
  state.counters["snr_dB"] = snr;
}
BENCHMARK(BM_Sine1kSnr_44100_to_48000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
