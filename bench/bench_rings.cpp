// The channel buffer's cost on the streamer's paths: a source's chunk written in, whole
// frames read back, and writing into a full buffer (a stalled host).
#include <benchmark/benchmark.h>

#include <vector>

#include "audio/AudioChannelBuffer.hpp"

namespace {

constexpr size_t kFrames = 750;

void BM_ChannelWriteReadFrames(benchmark::State& state) {
  qb::AudioChannelBuffer buffer(kFrames);
  qb::AudioChannelBuffer::Frame frame;
  std::vector<uint8_t> chunk(static_cast<size_t>(state.range(0)), 1);
  size_t frames = 0;
  int64_t t = 1;
  for (auto _ : state) {
    buffer.write(chunk, t);
    t += static_cast<int64_t>(chunk.size()) * 125 / 24;
    while (buffer.read(frame)) {
      benchmark::DoNotOptimize(frame);
      ++frames;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  state.counters["frames"] = static_cast<double>(frames);
}
// 10 ms of 48 kHz stereo s16, a whole frame, and an odd size that wraps unevenly.
BENCHMARK(BM_ChannelWriteReadFrames)->Arg(1920)->Arg(3840)->Arg(4999);

void BM_ChannelWriteWhenFull(benchmark::State& state) {
  qb::AudioChannelBuffer buffer(kFrames);
  std::vector<uint8_t> fill(kFrames * qb::AudioChannelBuffer::frameBytes, 0);
  buffer.write(fill, 1);
  std::vector<uint8_t> chunk(3840, 1);
  for (auto _ : state) buffer.write(chunk, 1);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 3840);
}
BENCHMARK(BM_ChannelWriteWhenFull);

}  // namespace

BENCHMARK_MAIN();
