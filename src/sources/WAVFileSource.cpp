#include "sources/WAVFileSource.hpp"

#include <cmath>

#include "audio/AudioOutputFormat.hpp"
#include "sources/PlaybackSchedule.hpp"
#include "wire/Output.hpp"

namespace qb {

namespace {

std::string lastPathComponent(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  auto slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

}  // namespace

// One playback run, from start() to stop(); each start plays from the file's beginning.
struct WAVFileSource::Run {
  std::atomic<bool> cancelled{false};
  uint64_t offset = 0;
  uint64_t frameCounter = 0;
  std::vector<uint8_t> block;
  uint64_t blockIndex = 0;  // blocks taken so far: spreads a fractional block size evenly
  PlaybackSchedule schedule{AudioOutputFormat::frameDuration};
  bool reportedShortRead = false;
  std::unique_ptr<AudioConverterPipeline> pipeline;
};

std::variant<std::shared_ptr<WAVFileSource>, std::string> WAVFileSource::make(Executor& executor,
                                                                              std::shared_ptr<const WavFile> file,
                                                                              const std::string& path,
                                                                              AudioProtocol::FrameType type) {
  const WavInfo& info = file->info();
  auto source = std::make_shared<WAVFileSource>(Token{}, executor, type);
  source->sourceSampleRate_ = info.sampleRate;
  source->sourceChannels_ = info.channels;
  source->sourceBitsPerSample_ = info.bitsPerSample;
  source->file_ = std::move(file);
  // Refused now rather than answered "started" and then played as silence.
  if (source->usesConverter() && !AudioConverterPipeline().prepare(PcmFormat{
                                     SampleFormat::Int16, static_cast<double>(info.sampleRate), info.channels, true}))
    return "Unsupported WAV format: no converter from " + std::to_string(info.sampleRate) + " Hz, " +
           std::to_string(info.channels) + " channels";
  logToStderr("WAVFileSource[" + source->sourceID_ + "]: loaded " + lastPathComponent(path) + " - " +
              std::to_string(info.sampleRate) + "Hz, " + std::to_string(info.channels) + "ch, " +
              std::to_string(info.bitsPerSample) + "-bit, " + std::to_string(info.dataSize) + " bytes PCM");
  return source;
}

std::variant<std::shared_ptr<WAVFileSource>, std::string> WAVFileSource::fromBytes(Executor& executor,
                                                                                   const std::string& path,
                                                                                   std::span<const uint8_t> bytes,
                                                                                   AudioProtocol::FrameType type) {
  auto file = WavFile::fromBytes(std::vector<uint8_t>(bytes.begin(), bytes.end()));
  if (auto* error = std::get_if<std::string>(&file)) return *error;
  return make(executor, std::get<std::shared_ptr<const WavFile>>(std::move(file)), path, type);
}

WAVFileSource::WAVFileSource(Token, Executor& executor, AudioProtocol::FrameType type)
    : executor_(executor),
      sourceID_(type == AudioProtocol::FrameType::mic ? "wav_mic" : "wav_system"),
      frameType_(type) {}

WAVFileSource::~WAVFileSource() {
  std::lock_guard guard(mutex_);
  if (currentRun_) currentRun_->cancelled = true;
}

void WAVFileSource::setOnAudioData(AudioDataCallback callback) {
  std::lock_guard guard(mutex_);
  onAudioData_ = std::move(callback);
}

size_t WAVFileSource::inputFrameSize() const {
  auto samples = static_cast<size_t>(AudioOutputFormat::frameDuration * sourceSampleRate_);
  return samples * static_cast<size_t>(sourceChannels_) * static_cast<size_t>(sourceBitsPerSample_ / 8);
}

bool WAVFileSource::usesConverter() const {
  // Rates that divide 48000 are widened by exact repetition; others need a resampler,
  // and so do channel layouts that must be mixed down.
  return AudioOutputFormat::sampleRate % sourceSampleRate_ != 0 || sourceChannels_ > 2;
}

std::optional<SourceError> WAVFileSource::start() {
  const std::string tag = "WAVFileSource[" + sourceID_ + "]: ";
  if (isActive_.load()) {
    logToStderr(tag + "already active");
    return std::nullopt;
  }
  auto run = std::make_shared<Run>();
  if (usesConverter()) {
    run->pipeline =
        std::make_unique<AudioConverterPipeline>([tag](const ConverterDiagnostic& d) { logToStderr(tag + d.message); });
  }
  {
    std::lock_guard guard(mutex_);
    if (currentRun_) currentRun_->cancelled = true;
    currentRun_ = run;
  }
  isActive_ = true;
  std::weak_ptr<WAVFileSource> weak = weak_from_this();
  executor_.runAsync([weak, run, tag] {
    auto self = weak.lock();
    if (!self) return;
    logToStderr(tag + "playback loop starting, inputFrameSize=" + std::to_string(self->inputFrameSize()) + " bytes");
    run->schedule.begin(self->executor_.clock().uptime());
    self->tick(run);
  });
  logToStderr(tag + "started");
  return std::nullopt;
}

void WAVFileSource::stop() {
  {
    std::lock_guard guard(mutex_);
    if (currentRun_) currentRun_->cancelled = true;
    currentRun_.reset();
  }
  isActive_ = false;
  logToStderr("WAVFileSource[" + sourceID_ + "]: stopped");
}

void WAVFileSource::tick(const std::shared_ptr<Run>& run) {
  const std::string tag = "WAVFileSource[" + sourceID_ + "]: ";
  if (run->cancelled.load() || !isActive_.load()) {
    logToStderr(tag + "playback loop ended at frame " + std::to_string(run->frameCounter));
    return;
  }

  // Samples of this period: rate / 50 on average, exact over time even when the rate is
  // not a multiple of 50.
  const uint64_t rate = sourceSampleRate_;
  const uint64_t k = run->blockIndex;
  const size_t samples = static_cast<size_t>((k + 1) * rate / 50 - k * rate / 50);
  const size_t blockBytes = samples * static_cast<size_t>(sourceChannels_) * 2;

  const uint64_t dataSize = file_->info().dataSize;
  run->block.resize(blockBytes);
  if (run->offset + blockBytes > dataSize) {
    run->offset = 0;
    logToStderr(tag + "looping file at frame " + std::to_string(run->frameCounter));
  }
  size_t got = file_->readPcm(run->offset, run->block);
  if (got < blockBytes && run->offset > 0) {
    // The file has shrunk since it was opened: play on from its start.
    run->offset = 0;
    logToStderr(tag + "looping file at frame " + std::to_string(run->frameCounter));
    got = file_->readPcm(0, run->block);
  }
  const bool play = got == blockBytes;
  if (!play && !run->reportedShortRead) {
    // Nothing whole to play: wait for the next period rather than spin.
    run->reportedShortRead = true;
    logToStderr(tag + "could not read a whole block (" + std::to_string(blockBytes) +
                " bytes) from the file, nothing to play");
  }

  if (play) {
    const std::span<const uint8_t> block = run->block;
    run->offset += blockBytes;
    ++run->blockIndex;
    std::vector<uint8_t> converted = convertBlock(*run, block);
    AudioDataCallback callback;
    {
      std::lock_guard guard(mutex_);
      callback = onAudioData_;
    }
    if (callback) callback(converted, std::llround(run->schedule.currentDue() * 1e6));
    ++run->frameCounter;
    if (run->frameCounter == 1 || run->frameCounter % 500 == 0)
      logToStderr(tag + "emitted frame " + std::to_string(run->frameCounter) +
                  ", outputSize=" + std::to_string(converted.size()) + " bytes");
  }

  std::weak_ptr<WAVFileSource> weak = weak_from_this();
  executor_.runAsyncAfter(run->schedule.delayToNext(executor_.clock().uptime()), [weak, run] {
    if (auto self = weak.lock()) self->tick(run);
  });
}

std::vector<uint8_t> WAVFileSource::convertBlock(Run& run, std::span<const uint8_t> block) {
  if (run.pipeline) {
    PcmBuffer buffer;
    buffer.format = PcmFormat{SampleFormat::Int16, static_cast<double>(sourceSampleRate_), sourceChannels_, true};
    buffer.frameLength = block.size() / (2 * static_cast<size_t>(sourceChannels_));
    buffer.bytes.assign(block.begin(), block.end());
    auto out = run.pipeline->process(buffer);
    return out ? std::move(*out) : std::vector<uint8_t>{};
  }
  // Repeat whole sample frames (both channels together) so stereo stays in its lanes.
  const size_t ratio = AudioOutputFormat::sampleRate / sourceSampleRate_;
  const size_t frameBytes = static_cast<size_t>(sourceChannels_) * 2;
  const size_t frames = block.size() / frameBytes;
  std::vector<uint8_t> out;
  out.reserve(frames * ratio * 4);
  for (size_t f = 0; f < frames; ++f) {
    const uint8_t* frame = block.data() + f * frameBytes;
    for (size_t r = 0; r < ratio; ++r) {
      if (sourceChannels_ == 1) {
        out.insert(out.end(), frame, frame + 2);
        out.insert(out.end(), frame, frame + 2);
      } else {
        out.insert(out.end(), frame, frame + 4);
      }
    }
  }
  return out;
}

}  // namespace qb
