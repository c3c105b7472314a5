#include "audio/SimpleAudioStreamer.hpp"

#include <cstdio>

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

std::string withoutNewlines(std::string text) {
  for (char& c : text)
    if (c == '\n') c = ' ';
  return text;
}

}  // namespace

SimpleAudioStreamer::SimpleAudioStreamer(Executor& executor, std::shared_ptr<AudioSource> mic,
                                         std::shared_ptr<AudioSource> system)
    : executor_(executor),
      micSource_(std::move(mic)),
      systemSource_(std::move(system)),
      bufferQueue_(executor_.makeQueue("audio.buffer")) {}

void SimpleAudioStreamer::start() {
  logToStderr("SimpleAudioStreamer: starting...");

  std::weak_ptr<SimpleAudioStreamer> weak = weak_from_this();
  if (micSource_) {
    micSource_->setOnAudioData([weak](std::span<const uint8_t> bytes) {
      if (auto self = weak.lock()) self->handleMicData(bytes);
    });
  }
  if (systemSource_) {
    systemSource_->setOnAudioData([weak](std::span<const uint8_t> bytes) {
      if (auto self = weak.lock()) self->handleSystemData(bytes);
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
      logToStderr("SimpleAudioStreamer: system source failed to start: " + error->description);
      // A refused permission is reported by the source itself.
      if (error->kind != SourceError::Kind::permissionDenied)
        sendEvent("SYSTEM_AUDIO_START_FAILED:" + withoutNewlines(error->description));
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

void SimpleAudioStreamer::handleMicData(std::span<const uint8_t> bytes) {
  std::weak_ptr<SimpleAudioStreamer> weak = weak_from_this();
  bufferQueue_->async([weak, data = std::vector<uint8_t>(bytes.begin(), bytes.end())] {
    if (auto self = weak.lock()) self->micBuffer_.write(data);
  });
}

void SimpleAudioStreamer::handleSystemData(std::span<const uint8_t> bytes) {
  std::weak_ptr<SimpleAudioStreamer> weak = weak_from_this();
  bufferQueue_->async([weak, data = std::vector<uint8_t>(bytes.begin(), bytes.end())]() mutable {
    if (auto self = weak.lock()) self->systemFrameBuffer_.append(SystemAudioFrame{std::move(data), 0});
  });
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
  sendAudioData();
  if (++loopIterations_ % 500 == 0) {
    size_t micBytes = 0, systemChunks = 0;
    bufferQueue_->sync([&] {
      micBytes = micBuffer_.availableBytes();
      systemChunks = systemFrameBuffer_.count();
    });
    logToStderr("SimpleAudioStreamer: buffer status mic=" + std::to_string(micBytes) +
                "b sys=" + std::to_string(systemChunks) + "frames");
  }
  executor_.runAsyncAfter(tickInterval,
                          [self = shared_from_this(), generation] { self->runLoopIteration(generation); });
}

void SimpleAudioStreamer::sendAudioData() {
  // Microphone: everything that has accumulated.
  int micCount = 0;
  double micLevel = 0;
  while (true) {
    size_t available = 0;
    bufferQueue_->sync([&] { available = micBuffer_.availableBytes(); });
    if (available < kFrameSize) break;
    std::optional<std::vector<uint8_t>> frame;
    bufferQueue_->sync([&] { frame = micBuffer_.read(kFrameSize); });
    if (!frame || frame->size() != kFrameSize) break;
    micLevel = calculateRMSInt16(*frame);
    writeBinaryFrame(AudioProtocol::FrameType::mic, kSampleRate, kChannels, kBits, micLevel, *frame, micSequence_++);
    ++micCount;
  }
  if (micCount > 0) {
    micFramesSent_ += static_cast<uint64_t>(micCount);
    if (worthLogging(micFramesSent_)) {
      char level[32];
      std::snprintf(level, sizeof level, "%.6f", micLevel);
      logToStderr("SimpleAudioStreamer: mic " + std::to_string(micCount) +
                  " frames (total: " + std::to_string(micFramesSent_) + ", RMS: " + level + ")");
    }
  }

  // System: bounded in time and frame count so that a backlog cannot starve the next tick.
  const Clock& clock = executor_.clock();
  const double t0 = clock.uptime();
  auto withinBudget = [&] { return clock.uptime() - t0 < systemBudgetSeconds; };
  int systemCount = 0;
  while (true) {
    std::optional<SystemAudioFrame> chunk;
    bufferQueue_->sync([&] { chunk = systemFrameBuffer_.removeFirst(); });
    if (chunk) {
      systemAudioAccumulator_.write(chunk->pcmData);
    } else if (systemAudioAccumulator_.availableBytes() < kFrameSize) {
      break;
    }
    while (systemAudioAccumulator_.availableBytes() >= kFrameSize) {
      auto frame = systemAudioAccumulator_.read(kFrameSize);
      if (!frame) break;
      double level = calculateRMSInt16(*frame);
      writeBinaryFrame(AudioProtocol::FrameType::system, kSampleRate, kChannels, kBits, level, *frame,
                       systemSequence_++);
      ++systemCount;
      if (!withinBudget()) break;
    }
    if (!(withinBudget() && systemCount < systemFramesPerTickLimit)) break;
  }
  if (systemCount > 0) {
    systemFramesSent_ += static_cast<uint64_t>(systemCount);
    if (worthLogging(systemFramesSent_))
      logToStderr("SimpleAudioStreamer: sys " + std::to_string(systemCount) +
                  " frames (total: " + std::to_string(systemFramesSent_) + ")");
  }
}

}  // namespace qb
