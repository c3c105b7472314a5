#include "sources/SyntheticAudioSource.hpp"

namespace qb {

struct SyntheticAudioSource::Run {};

SyntheticAudioSource::Result SyntheticAudioSource::make(Executor& executor, Pattern pattern,
                                                        AudioProtocol::FrameType type) {
  return std::make_shared<SyntheticAudioSource>(Token{}, executor, std::move(pattern), type);
}
SyntheticAudioSource::Result SyntheticAudioSource::withTargetRMS(Executor& executor, double rms,
                                                                 AudioProtocol::FrameType type) {
  return make(executor, Dc{rms}, type);
}
SyntheticAudioSource::Result SyntheticAudioSource::testTone(Executor& executor, double amplitude,
                                                            AudioProtocol::FrameType type) {
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
      expectedRMS_(0) {}
SyntheticAudioSource::~SyntheticAudioSource() = default;
void SyntheticAudioSource::setOnAudioData(AudioDataCallback callback) {
  std::lock_guard guard(mutex_);
  onAudioData_ = std::move(callback);
}
std::optional<SourceError> SyntheticAudioSource::start() { return std::nullopt; }
void SyntheticAudioSource::stop() {}
int16_t SyntheticAudioSource::generateSample(int64_t) { return 0; }
std::string SyntheticAudioSource::patternDescription() const { return ""; }

}  // namespace qb
