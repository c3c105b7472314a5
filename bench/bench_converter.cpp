// The converter on the inputs capture delivers: CPU per second of audio (the
// "audio_s_per_cpu_s" counter is how many times faster than real time it runs) and the
// SNR of a 1 kHz sine resampled 44100 -> 48000.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "audio/AudioConverterPipeline.hpp"
#include "platform/sim/SimAudioSignal.hpp"

namespace {

// One second of a 1 kHz sine in 10 ms buffers of the given format.
std::vector<qb::PcmBuffer> secondOfSine(qb::PcmFormat f, double amplitude = 0.5) {
  const auto d = qb::pcmDescription(f.sampleFormat, f.sampleRate, static_cast<uint32_t>(f.channels), f.interleaved);
  const auto framesPerBuffer = static_cast<size_t>(f.sampleRate / 100);
  std::vector<qb::PcmBuffer> buffers;
  double phase = 0;
  for (int b = 0; b < 100; ++b)
    buffers.push_back(qb::copyToPcmBuffer(qb::sineBuffer(d, framesPerBuffer, 1000, amplitude, phase), f).value());
  return buffers;
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
    snr = qb::sineSnrDb(out, 1000, 48000, 4800);
  }
  state.counters["snr_dB"] = snr;
}
BENCHMARK(BM_Sine1kSnr_44100_to_48000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
