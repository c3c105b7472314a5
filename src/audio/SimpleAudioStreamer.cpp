#include "audio/SimpleAudioStreamer.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "audio/AudioLevel.hpp"
#include "audio/AudioOutputFormat.hpp"
#include "wire/Output.hpp"

namespace qb {

namespace {

constexpr uint16_t kSampleRate = AudioOutputFormat::sampleRate;
constexpr uint8_t kChannels = AudioOutputFormat::channels;
constexpr uint8_t kBits = AudioOutputFormat::bitsPerSample;
constexpr size_t kFrameSize = AudioOutputFormat::frameSize;

bool worthLogging(uint64_t total) { return total < 10 || total % 500 == 0; }

}  // namespace

SimpleAudioStreamer::SimpleAudioStreamer(Executor& executor, std::shared_ptr<AudioSource> mic,
                                         std::shared_ptr<AudioSource> system)
    : executor_(executor), micSource_(std::move(mic)), systemSource_(std::move(system)) {}

void SimpleAudioStreamer::start() {
  logToStderr("SimpleAudioStreamer: starting...");

  std::weak_ptr<SimpleAudioStreamer> weak = weak_from_this();
  if (micSource_) {
    micSource_->setOnAudioData([weak](std::span<const uint8_t> pcm, int64_t captureTimeUs) {
      if (auto self = weak.lock()) self->deliver(self->mic_, pcm, captureTimeUs);
    });
  }
  if (systemSource_) {
    systemSource_->setOnAudioData([weak](std::span<const uint8_t> pcm, int64_t captureTimeUs) {
      if (auto self = weak.lock()) self->deliver(self->system_, pcm, captureTimeUs);
    });
  }

  if (micSource_) {
    if (auto error = micSource_->start())
      logToStderr("SimpleAudioStreamer: mic source failed to start: " + error->description);
    else
      logToStderr("SimpleAudioStreamer: mic source started");
  }
  if (systemSource_) {
    if (auto error = systemSource_->start()) {
      // The source tells the host (START_FAILED events), before it may come back.
      logToStderr("SimpleAudioStreamer: system source failed to start: " + error->description);
    } else {
      logToStderr("SimpleAudioStreamer: system source started");
    }
  }

  {
    std::lock_guard guard(stateLock_);
    isStreaming_ = true;
  }
  startDataStream();
  logToStderr("SimpleAudioStreamer: STREAMING_STARTED");
}

void SimpleAudioStreamer::stop() {
  logToStderr("SimpleAudioStreamer: stopping...");
  {
    std::lock_guard guard(stateLock_);
    isStreaming_ = false;
  }
  if (micSource_) micSource_->stop();
  if (systemSource_) systemSource_->stop();
  logToStderr("SimpleAudioStreamer: STREAMING_STOPPED");
}

void SimpleAudioStreamer::deliver(Channel& channel, std::span<const uint8_t> pcm, int64_t captureTimeUs) {
  // A source that cannot tell delivers audio that has just ended.
  if (captureTimeUs == 0)
    captureTimeUs = captureClockUs(executor_.clock()) -
                    std::llround(double(pcm.size()) * 1e6 / (kSampleRate * AudioOutputFormat::bytesPerSampleFrame));
  channel.buffer.write(pcm, captureTimeUs);
}

bool SimpleAudioStreamer::streaming(uint64_t generation) const {
  std::lock_guard guard(stateLock_);
  return isStreaming_ && generation == loopGeneration_;
}

void SimpleAudioStreamer::startDataStream() {
  logToStderr("SimpleAudioStreamer: data stream starting");
  uint64_t generation;
  {
    std::lock_guard guard(stateLock_);
    generation = ++loopGeneration_;
  }
  // Held weakly until the loop begins; from then on each tick keeps the streamer alive
  // until the loop ends.
  std::weak_ptr<SimpleAudioStreamer> weak = weak_from_this();
  executor_.runAsync([weak, generation] {
    if (auto self = weak.lock()) self->runLoopIteration(generation);
  });
}

void SimpleAudioStreamer::runLoopIteration(uint64_t generation) {
  if (!streaming(generation)) {
    logToStderr("SimpleAudioStreamer: data stream ended");
    return;
  }
  auto [micCount, micLevel] = sendChannel(mic_);
  if (micCount > 0 && worthLogging(mic_.framesSent)) {
    char level[32];
    std::snprintf(level, sizeof level, "%.6f", micLevel);
    logToStderr("SimpleAudioStreamer: mic " + std::to_string(micCount) +
                " frames (total: " + std::to_string(mic_.framesSent) + ", RMS: " + level + ")");
  }
  auto [systemCount, systemLevel] = sendChannel(system_);
  (void)systemLevel;
  if (systemCount > 0 && worthLogging(system_.framesSent))
    logToStderr("SimpleAudioStreamer: sys " + std::to_string(systemCount) +
                " frames (total: " + std::to_string(system_.framesSent) + ")");
  reportLoss(mic_);
  reportLoss(system_);

  if (++loopIterations_ % 500 == 0) {
    logToStderr("SimpleAudioStreamer: buffer status mic=" + std::to_string(mic_.buffer.bufferedBytes()) +
                "b sys=" + std::to_string(system_.buffer.bufferedBytes() / kFrameSize) + "frames");
  }
  executor_.runAsyncAfter(tickInterval,
                          [self = shared_from_this(), generation] { self->runLoopIteration(generation); });
}

std::pair<int, double> SimpleAudioStreamer::sendChannel(Channel& channel) {
  const Clock& clock = executor_.clock();
  const double t0 = clock.uptime();
  int count = 0;
  double level = 0;
  while (count < framesPerTickLimit && channel.buffer.read(frame_)) {
    const auto& f = frame_;
    bool timingLine = !channel.timed || ++channel.framesSinceTimingLine >= timingLineFrames;
    if (f.index != channel.nextIndex) {
      channel.lostFrames += f.index - channel.nextIndex;
      channel.afterLoss = f.index;
      reportLoss(channel);
      timingLine = true;
    }
    const int64_t expected = channel.lastCaptureTimeUs + std::llround(AudioOutputFormat::frameDuration * 1e6);
    if (std::llabs(f.captureTimeUs - expected) > timingToleranceUs) timingLine = true;
    const auto sequence = static_cast<uint32_t>(f.index);  // wraps with the wire's field
    if (timingLine) {
      sendEvent(std::string("AUDIO_TIMING:{\"channel\":\"") + channel.name + "\",\"sequence\":" +
                std::to_string(sequence) + ",\"captureTimeUs\":" + std::to_string(f.captureTimeUs) + "}");
      channel.framesSinceTimingLine = 0;
      channel.timed = true;
    }
    channel.nextIndex = f.index + 1;
    channel.lastCaptureTimeUs = f.captureTimeUs;
    level = calculateRMSInt16(f.pcm);
    writeBinaryFrame(channel.type, kSampleRate, kChannels, kBits, level, f.pcm, sequence);
    ++count;
    if (clock.uptime() - t0 >= budgetSeconds) break;
  }
  channel.framesSent += static_cast<uint64_t>(count);
  return {count, level};
}

void SimpleAudioStreamer::reportLoss(Channel& channel) {
  if (channel.lostFrames == 0) return;
  const double now = executor_.clock().uptime();
  if (now - channel.lastLossLine < lossLineInterval) return;
  sendEvent(std::string("AUDIO_LOSS:{\"channel\":\"") + channel.name +
            "\",\"frames\":" + std::to_string(channel.lostFrames) +
            ",\"sequence\":" + std::to_string(static_cast<uint32_t>(channel.afterLoss)) + "}");
  channel.lastLossLine = now;
  channel.lostFrames = 0;
}

}  // namespace qb
