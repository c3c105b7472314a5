#include "sources/SyntheticAudioSource.hpp"

#include <cmath>
#include <cstdio>

#include "audio/AudioOutputFormat.hpp"
#include "sources/PlaybackSchedule.hpp"
#include "wire/Output.hpp"

namespace qb {

namespace {

constexpr double kFullScale = 32767.0;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kRate = AudioOutputFormat::sampleRate;

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

// Truncation toward zero then clamping, done in floating point so huge values cannot
// overflow the integer conversion.
int16_t toSample(double v) {
  double t = std::trunc(v);
  if (t < -32768.0) return -32768;
  if (t >= 32767.0) return 32767;
  return static_cast<int16_t>(t);
}

std::string fixed3(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3f", v);
  return buf;
}

std::optional<std::string> validate(const SyntheticAudioSource::Pattern& pattern) {
  auto finite = [](std::initializer_list<double> values) {
    for (double v : values)
      if (!std::isfinite(v)) return false;
    return true;
  };
  const std::string notFinite = "SyntheticAudioSource: pattern parameters must be finite numbers";
  return std::visit(Overloaded{
                        [&](const SyntheticAudioSource::Dc& p) -> std::optional<std::string> {
                          return finite({p.amplitude}) ? std::nullopt : std::optional(notFinite);
                        },
                        [&](const SyntheticAudioSource::Sine& p) -> std::optional<std::string> {
                          return finite({p.frequency, p.amplitude}) ? std::nullopt : std::optional(notFinite);
                        },
                        [&](const SyntheticAudioSource::Square& p) -> std::optional<std::string> {
                          if (!finite({p.frequency, p.amplitude})) return notFinite;
                          if (!(p.frequency > 0 && p.frequency <= kRate))
                            return "SyntheticAudioSource: square frequency must be above 0 and at most 48000 Hz (got " +
                                   fixed3(p.frequency) + ")";
                          return std::nullopt;
                        },
                        [&](const SyntheticAudioSource::Noise& p) -> std::optional<std::string> {
                          return finite({p.rms}) ? std::nullopt : std::optional(notFinite);
                        },
                        [&](const SyntheticAudioSource::Custom& p) -> std::optional<std::string> {
                          if (!p.sample) return "SyntheticAudioSource: custom pattern needs a sample function";
                          return std::nullopt;
                        },
                        [](const SyntheticAudioSource::Silence&) -> std::optional<std::string> { return std::nullopt; },
                    },
                    pattern);
}

double expectedRMSOf(const SyntheticAudioSource::Pattern& pattern) {
  return std::visit(Overloaded{
                        [](const SyntheticAudioSource::Dc& p) { return p.amplitude; },
                        [](const SyntheticAudioSource::Sine& p) { return p.amplitude / 1.4142135623730951; },
                        [](const SyntheticAudioSource::Square& p) { return p.amplitude; },
                        [](const SyntheticAudioSource::Noise& p) { return p.rms; },
                        [](const SyntheticAudioSource::Custom&) { return -1.0; },
                        [](const SyntheticAudioSource::Silence&) { return 0.0; },
                    },
                    pattern);
}

}  // namespace

struct SyntheticAudioSource::Run {
  std::atomic<bool> cancelled{false};
  int64_t sampleIndex = 0;
  uint64_t frameCounter = 0;
  PlaybackSchedule schedule{AudioOutputFormat::frameDuration};
};

Result<std::shared_ptr<SyntheticAudioSource>, std::string> SyntheticAudioSource::make(Executor& executor,
                                                                                      Pattern pattern,
                                                                                      AudioProtocol::FrameType type) {
  if (auto error = validate(pattern)) return *error;
  return std::make_shared<SyntheticAudioSource>(Token{}, executor, std::move(pattern), type);
}

Result<std::shared_ptr<SyntheticAudioSource>, std::string> SyntheticAudioSource::withTargetRMS(
    Executor& executor, double rms, AudioProtocol::FrameType type) {
  return make(executor, Dc{rms}, type);
}

Result<std::shared_ptr<SyntheticAudioSource>, std::string> SyntheticAudioSource::testTone(
    Executor& executor, double amplitude, AudioProtocol::FrameType type) {
  return make(executor, Sine{1000, amplitude}, type);
}

std::shared_ptr<SyntheticAudioSource> SyntheticAudioSource::silence(Executor& executor, AudioProtocol::FrameType type) {
  return std::make_shared<SyntheticAudioSource>(Token{}, executor, Silence{}, type);
}

SyntheticAudioSource::SyntheticAudioSource(Token, Executor& executor, Pattern pattern, AudioProtocol::FrameType type)
    : executor_(executor),
      sourceID_(type == AudioProtocol::FrameType::mic ? "synthetic_mic" : "synthetic_system"),
      frameType_(type),
      pattern_(std::move(pattern)),
      expectedRMS_(expectedRMSOf(pattern_)),
      random_(std::random_device{}()) {}

SyntheticAudioSource::~SyntheticAudioSource() {
  std::lock_guard guard(mutex_);
  if (currentRun_) currentRun_->cancelled = true;
}

void SyntheticAudioSource::setOnAudioData(AudioDataCallback callback) {
  std::lock_guard guard(mutex_);
  onAudioData_ = std::move(callback);
}

int16_t SyntheticAudioSource::generateSample(int64_t i) {
  return std::visit(
      Overloaded{
          [](const Dc& p) { return toSample(p.amplitude * kFullScale); },
          [i](const Sine& p) {
            return toSample(std::sin(p.frequency * kTwoPi * static_cast<double>(i) / kRate) * p.amplitude * kFullScale);
          },
          [i](const Square& p) {
            double samplesPerPeriod = kRate / p.frequency;
            auto period = static_cast<int64_t>(samplesPerPeriod);
            auto half = static_cast<int64_t>(samplesPerPeriod * 0.5);
            int64_t phase = ((i % period) + period) % period;
            return toSample((phase < half ? 1.0 : -1.0) * p.amplitude * kFullScale);
          },
          [this](const Noise& p) {
            double u1 = std::uniform_real_distribution<double>(0.001, std::nextafter(1.0, 2.0))(random_);
            double u2 = std::uniform_real_distribution<double>(0.0, std::nextafter(1.0, 2.0))(random_);
            return toSample(std::sqrt(-2.0 * std::log(u1)) * std::cos(kTwoPi * u2) * p.rms * kFullScale);
          },
          [i](const Custom& p) { return p.sample(i); },
          [](const Silence&) -> int16_t { return 0; },
      },
      pattern_);
}

std::string SyntheticAudioSource::patternDescription() const {
  auto hz = [](double f) { return std::to_string(static_cast<int64_t>(f)); };
  return std::visit(
      Overloaded{
          [](const Dc& p) { return "dc(" + fixed3(p.amplitude) + ")"; },
          [&](const Sine& p) { return "sine(" + hz(p.frequency) + "Hz, " + fixed3(p.amplitude) + ")"; },
          [&](const Square& p) { return "square(" + hz(p.frequency) + "Hz, " + fixed3(p.amplitude) + ")"; },
          [](const Noise& p) { return "noise(rms=" + fixed3(p.rms) + ")"; },
          [](const Custom&) { return std::string("custom"); },
          [](const Silence&) { return std::string("silence"); },
      },
      pattern_);
}

std::optional<SourceError> SyntheticAudioSource::start() {
  if (isActive_.load()) return std::nullopt;
  auto run = std::make_shared<Run>();
  {
    std::lock_guard guard(mutex_);
    if (currentRun_) currentRun_->cancelled = true;
    currentRun_ = run;
  }
  isActive_ = true;
  std::weak_ptr<SyntheticAudioSource> weak = weak_from_this();
  executor_.runAsync([weak, run] {
    auto self = weak.lock();
    if (!self) return;
    run->schedule.begin(self->executor_.clock().uptime());
    self->tick(run);
  });
  logToStderr("SyntheticAudioSource[" + sourceID_ + "]: started with pattern " + patternDescription());
  return std::nullopt;
}

void SyntheticAudioSource::stop() {
  {
    std::lock_guard guard(mutex_);
    if (currentRun_) currentRun_->cancelled = true;
    currentRun_.reset();
  }
  isActive_ = false;
  logToStderr("SyntheticAudioSource[" + sourceID_ + "]: stopped");
}

void SyntheticAudioSource::tick(const std::shared_ptr<Run>& run) {
  if (run->cancelled.load() || !isActive_.load()) {
    logToStderr("SyntheticAudioSource[" + sourceID_ + "]: emitted " + std::to_string(run->frameCounter) + " frames");
    return;
  }
  std::vector<uint8_t> frame;
  frame.reserve(AudioOutputFormat::frameSize);
  for (int n = 0; n < AudioOutputFormat::samplesPerFrame; ++n) {
    auto sample = static_cast<uint16_t>(generateSample(run->sampleIndex++));
    uint8_t lo = static_cast<uint8_t>(sample & 0xFF), hi = static_cast<uint8_t>(sample >> 8);
    frame.insert(frame.end(), {lo, hi, lo, hi});
  }
  AudioDataCallback callback;
  {
    std::lock_guard guard(mutex_);
    callback = onAudioData_;
  }
  if (callback) callback(frame, std::llround(run->schedule.currentDue() * 1e6));
  ++run->frameCounter;

  std::weak_ptr<SyntheticAudioSource> weak = weak_from_this();
  executor_.runAsyncAfter(run->schedule.delayToNext(executor_.clock().uptime()), [weak, run] {
    if (auto self = weak.lock()) self->tick(run);
  });
}

}  // namespace qb
