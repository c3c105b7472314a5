#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/AudioBuffer.hpp"

namespace qb {

// Converts captured PCM of any rate, channel count and sample type into the output
// encoding (48000 Hz, stereo, s16le, interleaved). The resampler keeps its state across
// calls and is rebuilt when the input format changes. Not thread-safe: the owner calls
// it from one queue.
class AudioConverterPipeline {
 public:
  explicit AudioConverterPipeline(std::function<void(const std::string&)> logger = {});
  ~AudioConverterPipeline();
  AudioConverterPipeline(const AudioConverterPipeline&) = delete;
  AudioConverterPipeline& operator=(const AudioConverterPipeline&) = delete;

  // The converted bytes, or none when nothing could be produced for this buffer.
  std::optional<std::vector<uint8_t>> process(const PcmBuffer& buffer);
  void reset();

  static PcmFormat targetFormat() { return PcmFormat{SampleFormat::Int16, 48000, 2, true}; }

 private:
  class Resampler;
  void log(const std::string& message) const;

  std::function<void(const std::string&)> logger_;
  std::unique_ptr<Resampler> converter_;
  std::optional<PcmFormat> lastInputFormat_;
  int processCount_ = 0;
  int successCount_ = 0;
};

}  // namespace qb
