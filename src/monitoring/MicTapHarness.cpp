#include "monitoring/MicTapHarness.hpp"

#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "audio/AudioConverterPipeline.hpp"
#include "audio/AudioLevel.hpp"
#include "audio/AudioOutputFormat.hpp"
#include "wire/Output.hpp"

namespace qb {

namespace {

constexpr double kSampleRate = AudioOutputFormat::sampleRate;
constexpr int kChannels = AudioOutputFormat::channels;
constexpr size_t kBlockFrames = AudioOutputFormat::frameSize / (kChannels * 2);
constexpr size_t kRenderFrames = static_cast<size_t>(kSampleRate * 0.3);
constexpr float kAmplitude = 0.5f;
// Statuses that only mean "ask again" may repeat this often in a row before the render
// counts as failed, so that the loop always ends.
constexpr int kMaxRetries = 100;

// The tapped blocks, appended one at a time from the collector's queue.
struct TapCollector {
  std::mutex mutex;
  std::vector<std::vector<uint8_t>> frames;
  int tapCallbacks = 0;

  void append(std::vector<uint8_t> frame) {
    std::lock_guard lock(mutex);
    frames.push_back(std::move(frame));
    ++tapCallbacks;
  }
};

void fail(const std::string& printed) {
  sendCommandResponse("TEST_MIC_TAP:error:" + printed);
  logToStderr("MicTapHarness: failed " + printed);
}

}  // namespace

std::string_view describe(MicTapHarnessError error) {
  switch (error) {
    case MicTapHarnessError::converterCreationFailed:
      return "converterCreationFailed";
    case MicTapHarnessError::renderingFailed:
      return "renderingFailed";
    case MicTapHarnessError::noDataCaptured:
      return "noDataCaptured";
  }
  return "renderingFailed";
}

void runMicTapHarnessCommand(Executor& executor, const MicTapHarnessFaults& faults) {
  logToStderr("MicTapHarness: starting...");
  const PcmFormat floatFormat{SampleFormat::Float32, kSampleRate, kChannels, false};

  OfflineRenderGraph graph;
  const auto mixer = graph.addMixerNode();
  graph.setOutputVolume(mixer, 1.0f);
  const float phaseStep = static_cast<float>(2764.601535159018 / kSampleRate);
  auto phase = std::make_shared<float>(0.0f);
  const auto source = graph.addSourceNode([phase, phaseStep](size_t frames, std::vector<std::vector<float>>& out) {
    // The phase runs on across calls, unwrapped.
    for (size_t i = 0; i < frames; ++i) {
      const float s = std::sin(*phase);
      *phase += phaseStep;
      for (auto& plane : out) plane[i] = kAmplitude * s;
    }
    return true;
  });
  graph.connect(source, mixer, floatFormat);
  graph.connect(mixer, graph.mainMixer(), floatFormat);
  // Silent even if it were not rendering offline.
  graph.setOutputVolume(graph.mainMixer(), 0.0f);

  // The capture path's own converter; it keeps its state, so one serves every block.
  auto converter = std::make_shared<AudioConverterPipeline>();
  if (faults.noConverter || !converter->prepare(floatFormat)) {
    fail(std::string(describe(MicTapHarnessError::converterCreationFailed)));
    return;
  }

  auto collector = std::make_shared<TapCollector>();
  auto collectorQueue = executor.makeQueue("mic.tap.collector");
  if (!faults.tapSilent) {
    graph.installTap(mixer, kBlockFrames, [converter, collector, collectorQueue](const PcmBuffer& tapped) {
      // A block the converter cannot take is left out.
      auto bytes = converter->process(tapped);
      if (!bytes) return;
      // The render path does not wait for the collector.
      collectorQueue->async([collector, bytes = std::move(*bytes)]() mutable { collector->append(std::move(bytes)); });
    });
  }

  if (auto error = graph.enableManualRenderingMode(floatFormat, kBlockFrames)) return fail(*error);
  if (auto error = graph.start()) return fail(*error);

  PcmBuffer rendered = PcmBuffer::make(graph.manualRenderingFormat(), kBlockFrames);
  size_t done = 0;
  int retries = 0;
  while (done < kRenderFrames) {
    const size_t n = std::min(kRenderFrames - done, kBlockFrames);
    std::string error;
    const RenderStatus status = faults.renderStatus ? *faults.renderStatus : graph.renderOffline(n, rendered, &error);
    if (!error.empty()) {
      graph.stop();
      return fail(error);
    }
    if (status == RenderStatus::success) {
      done += n;
      retries = 0;
    } else if ((status == RenderStatus::insufficientDataFromInputNode ||
                status == RenderStatus::cannotDoInCurrentContext) &&
               ++retries <= kMaxRetries) {
      continue;
    } else {
      graph.stop();
      return fail(std::string(describe(MicTapHarnessError::renderingFailed)));
    }
  }
  graph.stop();
  graph.removeTap(mixer);

  // Every block handed over has reached the collector once this item has run.
  auto drained = std::make_shared<Signal>();
  collectorQueue->async([drained] { drained->notify(); });
  executor.wait(*drained);

  std::vector<std::vector<uint8_t>> frames;
  int taps;
  {
    std::lock_guard lock(collector->mutex);
    frames = collector->frames;
    taps = collector->tapCallbacks;
  }
  if (taps < 1 || frames.empty()) return fail(std::string(describe(MicTapHarnessError::noDataCaptured)));
  double sum = 0;
  for (const auto& frame : frames) sum += calculateRMSInt16(frame);
  const double mean = sum / static_cast<double>(frames.size());

  char text[128];
  std::snprintf(text, sizeof text, "taps=%d frames=%zu avgRMS=%.4f", taps, frames.size(), mean);
  sendCommandResponse(std::string("TEST_MIC_TAP:ok:") + text);
  logToStderr(std::string("MicTapHarness: success ") + text);
}

}  // namespace qb
