#include "audio/AudioConverterPipeline.hpp"

#include <charconv>
#include <climits>
#include <cmath>
#include <mutex>
#include <new>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace qb {

namespace {

constexpr int kEarlyCalls = 10;
constexpr int kMaxChannels = 64;

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

std::optional<AVSampleFormat> avFormat(const PcmFormat& f) {
  bool planar = !f.interleaved && f.channels > 1;
  switch (f.sampleFormat) {
    case SampleFormat::Float32:
      return planar ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_FLT;
    case SampleFormat::Float64:
      return planar ? AV_SAMPLE_FMT_DBLP : AV_SAMPLE_FMT_DBL;
    case SampleFormat::Int16:
      return planar ? AV_SAMPLE_FMT_S16P : AV_SAMPLE_FMT_S16;
    case SampleFormat::Int32:
      return planar ? AV_SAMPLE_FMT_S32P : AV_SAMPLE_FMT_S32;
    case SampleFormat::UInt8:
      return planar ? AV_SAMPLE_FMT_U8P : AV_SAMPLE_FMT_U8;
    case SampleFormat::Other:
      return std::nullopt;
  }
  return std::nullopt;
}

std::string avError(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

}  // namespace

// One libswresample context for one input format. soxr when the library has it: it is
// the higher-quality engine and keeps filter state across calls like the built-in one.
class AudioConverterPipeline::Resampler {
 public:
  static std::unique_ptr<Resampler> create(const PcmFormat& in) {
    auto format = avFormat(in);
    if (!format || !(in.sampleRate >= 1 && in.sampleRate <= INT_MAX) || in.channels < 1 || in.channels > kMaxChannels)
      return nullptr;
    int rate = static_cast<int>(std::lround(in.sampleRate));
    // soxr first; the built-in engine tuned for quality if soxr is missing.
    // Mono always takes our matrix; counts with a standard layout let the library mix
    // (asking it to mix an unknown layout only prints an error on standard error).
    AVChannelLayout standard{};
    av_channel_layout_default(&standard, in.channels);
    bool hasStandardLayout = standard.order == AV_CHANNEL_ORDER_NATIVE;
    av_channel_layout_uninit(&standard);
    std::vector<bool> matrixChoices =
        in.channels == 1 || !hasStandardLayout ? std::vector<bool>{true} : std::vector<bool>{false, true};
    // libswresample talks on stderr, which is the host's text channel.
    static std::once_flag quiet;
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_QUIET); });
    for (bool soxr : {true, false}) {
      for (bool customMatrix : matrixChoices) {
        auto r = std::unique_ptr<Resampler>(new Resampler());
        if (r->init(in, *format, rate, soxr, customMatrix)) return r;
      }
    }
    return nullptr;
  }

  ~Resampler() { swr_free(&ctx_); }

  // Frames written to out (up to capacity), or a negative error code.
  int convert(const PcmBuffer& in, uint8_t* out, int capacity) {
    const uint8_t* planes[kMaxChannels] = {};
    int planeCount = in.format.interleaved ? 1 : in.format.channels;
    for (int c = 0; c < planeCount; ++c) planes[c] = in.channelData(c);
    uint8_t* outPlanes[1] = {out};
    return swr_convert(ctx_, outPlanes, capacity, planes, static_cast<int>(in.frameLength));
  }
  int64_t delayUs() const { return swr_get_delay(ctx_, 1000000); }

 private:
  Resampler() = default;

  bool init(const PcmFormat& in, AVSampleFormat format, int rate, bool soxr, bool customMatrix) {
    ctx_ = swr_alloc();
    if (!ctx_) return false;
    AVChannelLayout inLayout{}, outLayout{};
    if (customMatrix && in.channels > 1) {
      inLayout.order = AV_CHANNEL_ORDER_UNSPEC;
      inLayout.nb_channels = in.channels;
    } else {
      av_channel_layout_default(&inLayout, in.channels);
    }
    av_channel_layout_default(&outLayout, AudioOutputFormat::channels);
    bool ok = av_opt_set_chlayout(ctx_, "in_chlayout", &inLayout, 0) >= 0 &&
              av_opt_set_chlayout(ctx_, "out_chlayout", &outLayout, 0) >= 0 &&
              av_opt_set_int(ctx_, "in_sample_rate", rate, 0) >= 0 &&
              av_opt_set_int(ctx_, "out_sample_rate", AudioOutputFormat::sampleRate, 0) >= 0 &&
              av_opt_set_sample_fmt(ctx_, "in_sample_fmt", format, 0) >= 0 &&
              av_opt_set_sample_fmt(ctx_, "out_sample_fmt", AV_SAMPLE_FMT_S16, 0) >= 0;
    av_channel_layout_uninit(&inLayout);
    av_channel_layout_uninit(&outLayout);
    // Float inside: with 16-bit in and out the library would otherwise resample in
    // 16 bits, dithering each side on its own, so mono would not stay centred.
    ok = ok && av_opt_set_sample_fmt(ctx_, "internal_sample_fmt", AV_SAMPLE_FMT_FLTP, 0) >= 0;
    if (!ok) return false;
    if (soxr) {
      if (av_opt_set(ctx_, "resampler", "soxr", 0) < 0) return false;
      av_opt_set_double(ctx_, "precision", 28, 0);  // the engine's very-high-quality setting
    } else {
      av_opt_set_int(ctx_, "filter_size", 64, 0);
      av_opt_set_int(ctx_, "phase_shift", 14, 0);
      av_opt_set_int(ctx_, "linear_interp", 1, 0);
    }
    if (customMatrix) {
      // Mono goes to both sides at full level; a layout the library cannot map is
      // averaged into both sides so that nothing clips.
      std::vector<double> matrix(2 * static_cast<size_t>(in.channels), in.channels == 1 ? 1.0 : 1.0 / in.channels);
      if (swr_set_matrix(ctx_, matrix.data(), in.channels) < 0) return false;
    }
    return swr_init(ctx_) >= 0;
  }

  SwrContext* ctx_ = nullptr;
};

AudioConverterPipeline::AudioConverterPipeline(ConverterDiagnostics diagnostics)
    : diagnostics_(std::move(diagnostics)) {}

AudioConverterPipeline::~AudioConverterPipeline() = default;

void AudioConverterPipeline::report(ConverterDiagnostic::Kind kind, std::string message, std::string error) const {
  if (diagnostics_) diagnostics_(ConverterDiagnostic{kind, std::move(message), std::move(error)});
}

bool AudioConverterPipeline::prepare(const PcmFormat& input) {
  if (lastInputFormat_ && sameFormat(*lastInputFormat_, input)) return converter_ != nullptr;
  const PcmFormat target = targetFormat();
  converter_ = Resampler::create(input);
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

  int frames = converter_->convert(buffer, out.data(), cap);
  if (frames < 0) {
    if (early || processCount_ % 100 == 0) {
      std::string error = avError(frames);
      report(Kind::conversionError, "Conversion error: " + error, error);
    }
    return std::nullopt;
  }
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
  const double outputUs = static_cast<double>(outputBytes / 4) * 1e6 / targetFormat().sampleRate;
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
