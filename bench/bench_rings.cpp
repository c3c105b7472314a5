// Ring buffer costs on the streamer's paths: a source's chunk written into a byte ring,
// a 3840-byte frame read back, and the system chunk queue.
#include <benchmark/benchmark.h>

#include <vector>

#include "audio/AudioOutputFormat.hpp"
#include "audio/CircularByteBuffer.hpp"
#include "audio/CircularFrameBuffer.hpp"
#include "audio/SystemAudioFrame.hpp"

namespace {

constexpr size_t kRing = 2880000;

void BM_ByteRingWriteReadFrame(benchmark::State& state) {
  qb::CircularByteBuffer ring(kRing);
  std::vector<uint8_t> chunk(static_cast<size_t>(state.range(0)), 1);
  size_t frames = 0;
  for (auto _ : state) {
    ring.write(chunk);
    while (ring.availableBytes() >= qb::AudioOutputFormat::frameSize) {
      auto f = ring.read(qb::AudioOutputFormat::frameSize);
      benchmark::DoNotOptimize(f);
      ++frames;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  state.counters["frames"] = static_cast<double>(frames);
}
// 10 ms of 48 kHz stereo s16, a whole frame, and an odd size that wraps unevenly.
BENCHMARK(BM_ByteRingWriteReadFrame)->Arg(1920)->Arg(3840)->Arg(4999);

void BM_ByteRingOverwriteWhenFull(benchmark::State& state) {
  qb::CircularByteBuffer ring(kRing);
  std::vector<uint8_t> fill(kRing, 0);
  ring.write(fill);
  std::vector<uint8_t> chunk(3840, 1);
  for (auto _ : state) ring.write(chunk);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 3840);
}
BENCHMARK(BM_ByteRingOverwriteWhenFull);

void BM_FrameRingAppendRemove(benchmark::State& state) {
  qb::CircularFrameBuffer<qb::SystemAudioFrame> ring(2250);
  std::vector<uint8_t> pcm(3840, 1);
  for (auto _ : state) {
    ring.append(qb::SystemAudioFrame{pcm, 0});
    auto f = ring.removeFirst();
    benchmark::DoNotOptimize(f);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_FrameRingAppendRemove);

}  // namespace

BENCHMARK_MAIN();
