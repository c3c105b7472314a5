#include "sources/WAVFileSource.hpp"

namespace qb {

struct WAVFileSource::Run {};

std::variant<std::shared_ptr<WAVFileSource>, std::string> WAVFileSource::load(Executor&, const std::string& path,
                                                                              AudioProtocol::FrameType) {
  return "Could not read " + path + ": not implemented";
}
std::variant<std::shared_ptr<WAVFileSource>, std::string> WAVFileSource::fromBytes(Executor&, const std::string& path,
                                                                                   std::span<const uint8_t>,
                                                                                   AudioProtocol::FrameType) {
  return "Could not read " + path + ": not implemented";
}
WAVFileSource::WAVFileSource(Token, Executor& executor, std::string path, AudioProtocol::FrameType type)
    : executor_(executor),
      sourceID_(type == AudioProtocol::FrameType::mic ? "wav_mic" : "wav_system"),
      frameType_(type),
      path_(std::move(path)) {}
WAVFileSource::~WAVFileSource() = default;
void WAVFileSource::setOnAudioData(AudioDataCallback callback) {
  std::lock_guard guard(mutex_);
  onAudioData_ = std::move(callback);
}
std::optional<SourceError> WAVFileSource::start() { return std::nullopt; }
void WAVFileSource::stop() {}
size_t WAVFileSource::inputFrameSize() const { return 0; }

}  // namespace qb
