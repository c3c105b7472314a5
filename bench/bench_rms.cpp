// The level of every output frame: 3840 bytes, 50 frames a second per channel.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "audio/AudioLevel.hpp"
#include "audio/AudioOutputFormat.hpp"

namespace {

void BM_RmsOfOneFrame(benchmark::State& state) {
  std::vector<uint8_t> frame(qb::AudioOutputFormat::frameSize);
  for (size_t i = 0; i < frame.size(); i += 2) {
    auto v = static_cast<int16_t>(12000 * std::sin(static_cast<double>(i) * 0.01));
    frame[i] = static_cast<uint8_t>(v & 0xFF);
    frame[i + 1] = static_cast<uint8_t>((v >> 8) & 0xFF);
  }
  for (auto _ : state) benchmark::DoNotOptimize(qb::calculateRMSInt16(frame));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * qb::AudioOutputFormat::frameSize);
  // Share of one core spent measuring both channels in real time (100 frames/s).
  state.counters["frames_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RmsOfOneFrame);

}  // namespace

BENCHMARK_MAIN();
