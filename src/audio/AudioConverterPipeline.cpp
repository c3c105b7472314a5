#include "audio/AudioConverterPipeline.hpp"

namespace qb {

class AudioConverterPipeline::Resampler {};

AudioConverterPipeline::AudioConverterPipeline(std::function<void(const std::string&)> logger)
    : logger_(std::move(logger)) {}
AudioConverterPipeline::~AudioConverterPipeline() = default;
std::optional<std::vector<uint8_t>> AudioConverterPipeline::process(const PcmBuffer&) { return std::nullopt; }
void AudioConverterPipeline::reset() {}
void AudioConverterPipeline::log(const std::string& message) const {
  if (logger_) logger_(message);
}

}  // namespace qb
