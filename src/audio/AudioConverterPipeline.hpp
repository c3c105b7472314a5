#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/AudioOutputFormat.hpp"
#include "platform/AudioBuffer.hpp"

namespace qb {

class Resampler;

// What the pipeline has to say, as a value: owners choose by kind what to log.
struct ConverterDiagnostic {
  enum class Kind {
    converterCreated,
    converterFailed,
    noConverter,
    invalidInput,
    noOutputRoom,
    outOfMemory,
    conversionError,
    priming,
    converted,
    reset
  };
  Kind kind;
  std::string message;  // the whole line, as the owner logs it
  std::string error;    // conversionError: the converter's own text
};
using ConverterDiagnostics = std::function<void(const ConverterDiagnostic&)>;

// Converts captured PCM of any rate, channel count and sample type into the output
// encoding (AudioOutputFormat, interleaved). The resampler keeps its state across calls
// and is rebuilt when the input format changes. Not thread-safe: the owner calls
// it from one queue.
class AudioConverterPipeline {
 public:
  explicit AudioConverterPipeline(ConverterDiagnostics diagnostics = {});
  ~AudioConverterPipeline();
  AudioConverterPipeline(const AudioConverterPipeline&) = delete;
  AudioConverterPipeline& operator=(const AudioConverterPipeline&) = delete;

  // The converted bytes, or none when nothing could be produced for this buffer.
  std::optional<std::vector<uint8_t>> process(const PcmBuffer& buffer);
  // Makes the converter for `input` ahead of its first buffer (process does so when the
  // format changes); false when there is none for that format.
  bool prepare(const PcmFormat& input);
  // When the first sample of the output of the last process() call was captured, given
  // when the first sample of its input was: the input's end, less what the resampler
  // keeps back, less the output's length. 0 (unknown) stays 0.
  int64_t outputCaptureTime(int64_t inputCaptureUs, const PcmBuffer& input, size_t outputBytes) const;
  void reset();

  static PcmFormat targetFormat() {
    return PcmFormat{SampleFormat::Int16, AudioOutputFormat::sampleRate, AudioOutputFormat::channels, true};
  }

 private:
  void report(ConverterDiagnostic::Kind kind, std::string message, std::string error = {}) const;

  ConverterDiagnostics diagnostics_;
  std::unique_ptr<Resampler> converter_;
  std::optional<PcmFormat> lastInputFormat_;
  int processCount_ = 0;
  int successCount_ = 0;
};

}  // namespace qb
