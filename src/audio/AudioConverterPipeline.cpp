#include "audio/AudioConverterPipeline.hpp"

#include <charconv>
#include <climits>
#include <cmath>
#include <new>
#include <variant>

#include "platform/Resampler.hpp"

namespace qb {

namespace {

constexpr int kEarlyCalls = 10;

// Shortest form that reads back to the same value, with at least one digit after the
// point: 48000 -> "48000.0", 44100.5 -> "44100.5".
std::string formatRate(double rate) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, rate);
  std::string s(buf, ec == std::errc() ? end : buf);
  if (s.find_first_of(".eEn") == std::string::npos) s += ".0";
  return s;
}

bool sameFormat(const PcmFormat& a, const PcmFormat& b) {
  bool sameRate = a.sampleRate == b.sampleRate || (std::isnan(a.sampleRate) && std::isnan(b.sampleRate));
  return sameRate && a.channels == b.channels && a.sampleFormat == b.sampleFormat && a.interleaved == b.interleaved;
}

}  // namespace

AudioConverterPipeline::AudioConverterPipeline(ConverterDiagnostics diagnostics)
    : diagnostics_(std::move(diagnostics)) {}

AudioConverterPipeline::~AudioConverterPipeline() = default;

void AudioConverterPipeline::report(ConverterDiagnostic::Kind kind, std::string message, std::string error) const {
  if (diagnostics_) diagnostics_(ConverterDiagnostic{kind, std::move(message), std::move(error)});
}

bool AudioConverterPipeline::prepare(const PcmFormat& input) {
  if (lastInputFormat_ && sameFormat(*lastInputFormat_, input)) return converter_ != nullptr;
  const PcmFormat target = targetFormat();
  converter_ = makeResampler(input, AudioOutputFormat::sampleRate, AudioOutputFormat::channels);
  lastInputFormat_ = input;
  if (!converter_) {
    report(ConverterDiagnostic::Kind::converterFailed, "FAILED to create converter from " +
                                                           formatRate(input.sampleRate) + "Hz/" +
                                                           std::to_string(input.channels) + "ch");
    return false;
  }
  report(ConverterDiagnostic::Kind::converterCreated,
         "Created converter: " + formatRate(input.sampleRate) + "Hz/" + std::to_string(input.channels) + "ch -> " +
             formatRate(target.sampleRate) + "Hz/" + std::to_string(target.channels) + "ch");
  return true;
}

std::optional<std::vector<uint8_t>> AudioConverterPipeline::process(const PcmBuffer& buffer) {
  using Kind = ConverterDiagnostic::Kind;
  ++processCount_;
  const bool early = processCount_ <= kEarlyCalls;
  const PcmFormat& input = buffer.format;
  const PcmFormat target = targetFormat();

  const bool changed = !lastInputFormat_ || !sameFormat(*lastInputFormat_, input);
  if (!prepare(input) && changed) return std::nullopt;
  if (!converter_) {
    if (early) report(Kind::noConverter, "No converter available");
    return std::nullopt;
  }

  // A buffer whose bytes do not cover its frame length would make the converter read
  // past its end.
  size_t needed = buffer.frameLength * buffer.bytesPerFrameAllChannels();
  if (buffer.bytes.size() < needed || buffer.frameLength > static_cast<size_t>(INT_MAX)) {
    if (early)
      report(Kind::invalidInput, "Invalid input buffer: " + std::to_string(buffer.bytes.size()) + " bytes for " +
                                     std::to_string(buffer.frameLength) + " frames");
    return std::nullopt;
  }

  double capacityFrames = target.sampleRate / input.sampleRate * static_cast<double>(buffer.frameLength) * 1.1;
  uint32_t capacity = capacityFrames >= 4294967295.0 ? UINT32_MAX : static_cast<uint32_t>(capacityFrames);
  if (capacity == 0) {
    if (early) report(Kind::noOutputRoom, "Zero output frames calculated");
    return std::nullopt;
  }
  constexpr int kOutFrameBytes = AudioOutputFormat::bytesPerSampleFrame;
  int cap = static_cast<int>(std::min<uint32_t>(capacity, INT_MAX / kOutFrameBytes));

  std::vector<uint8_t> out;
  try {
    out.resize(static_cast<size_t>(cap) * kOutFrameBytes);
  } catch (const std::bad_alloc&) {
    if (early) report(Kind::outOfMemory, "Failed to allocate output buffer");
    return std::nullopt;
  }

  auto converted = converter_->convert(buffer, out.data(), cap);
  if (auto* error = std::get_if<std::string>(&converted)) {
    if (early || processCount_ % 100 == 0) report(Kind::conversionError, "Conversion error: " + *error, *error);
    return std::nullopt;
  }
  const int frames = std::get<int>(converted);
  if (frames == 0) {
    if (early)
      report(Kind::priming, "Zero frames output (resampler priming), input was " + std::to_string(buffer.frameLength));
    return std::nullopt;
  }

  ++successCount_;
  if (successCount_ <= 3 || successCount_ % 500 == 0)
    report(Kind::converted, "Success #" + std::to_string(successCount_) + ": " + std::to_string(buffer.frameLength) +
                                " frames in -> " + std::to_string(frames) + " frames out");
  out.resize(static_cast<size_t>(frames) * kOutFrameBytes);
  return out;
}

int64_t AudioConverterPipeline::outputCaptureTime(int64_t inputCaptureUs, const PcmBuffer& input,
                                                  size_t outputBytes) const {
  if (inputCaptureUs == 0 || !(input.format.sampleRate > 0)) return inputCaptureUs;
  const double inputUs = static_cast<double>(input.frameLength) * 1e6 / input.format.sampleRate;
  const double outputUs =
      static_cast<double>(outputBytes / AudioOutputFormat::bytesPerSampleFrame) * 1e6 / targetFormat().sampleRate;
  const double keptBack = converter_ ? static_cast<double>(converter_->delayUs()) : 0.0;
  return inputCaptureUs + std::llround(inputUs - keptBack - outputUs);
}

void AudioConverterPipeline::reset() {
  using Kind = ConverterDiagnostic::Kind;
  converter_.reset();
  lastInputFormat_.reset();
  processCount_ = 0;
  successCount_ = 0;
  report(Kind::reset, "Pipeline reset");
}

}  // namespace qb
