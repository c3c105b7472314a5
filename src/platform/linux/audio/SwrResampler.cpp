#include "platform/linux/audio/SwrResampler.hpp"

#include <climits>
#include <cmath>
#include <mutex>
#include <optional>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace qb {

namespace {

constexpr int kMaxChannels = 64;

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

std::unique_ptr<Resampler> makeResampler(const PcmFormat& input, int outputRate, int outputChannels) {
  return SwrResampler::create(input, outputRate, outputChannels);
}

std::unique_ptr<SwrResampler> SwrResampler::create(const PcmFormat& in, int outputRate, int outputChannels) {
  auto format = avFormat(in);
  if (!format || !(in.sampleRate >= 1 && in.sampleRate <= INT_MAX) || in.channels < 1 || in.channels > kMaxChannels)
    return nullptr;
  if (outputRate < 1 || outputChannels < 1 || outputChannels > kMaxChannels) return nullptr;
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
      auto r = std::unique_ptr<SwrResampler>(new SwrResampler());
      if (r->init(in, outputRate, outputChannels, soxr, customMatrix)) return r;
    }
  }
  return nullptr;
}

SwrResampler::~SwrResampler() { swr_free(&ctx_); }

Result<int, std::string> SwrResampler::convert(const PcmBuffer& in, uint8_t* out, int capacity) {
  const uint8_t* planes[kMaxChannels] = {};
  int planeCount = in.format.interleaved ? 1 : in.format.channels;
  for (int c = 0; c < planeCount; ++c) planes[c] = in.channelData(c);
  uint8_t* outPlanes[1] = {out};
  int frames = swr_convert(ctx_, outPlanes, capacity, planes, static_cast<int>(in.frameLength));
  if (frames < 0) return avError(frames);
  return frames;
}

int64_t SwrResampler::delayUs() const { return swr_get_delay(ctx_, 1000000); }

bool SwrResampler::init(const PcmFormat& in, int outputRate, int outputChannels, bool soxr, bool customMatrix) {
  ctx_ = swr_alloc();
  if (!ctx_) return false;
  int rate = static_cast<int>(std::lround(in.sampleRate));
  AVChannelLayout inLayout{}, outLayout{};
  if (customMatrix && in.channels > 1) {
    inLayout.order = AV_CHANNEL_ORDER_UNSPEC;
    inLayout.nb_channels = in.channels;
  } else {
    av_channel_layout_default(&inLayout, in.channels);
  }
  av_channel_layout_default(&outLayout, outputChannels);
  bool ok = av_opt_set_chlayout(ctx_, "in_chlayout", &inLayout, 0) >= 0 &&
            av_opt_set_chlayout(ctx_, "out_chlayout", &outLayout, 0) >= 0 &&
            av_opt_set_int(ctx_, "in_sample_rate", rate, 0) >= 0 &&
            av_opt_set_int(ctx_, "out_sample_rate", outputRate, 0) >= 0 &&
            av_opt_set_sample_fmt(ctx_, "in_sample_fmt", *avFormat(in), 0) >= 0 &&
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
    // Mono goes to every output channel at full level; a layout the library cannot map is
    // averaged into each so that nothing clips.
    std::vector<double> matrix(static_cast<size_t>(outputChannels) * static_cast<size_t>(in.channels),
                               in.channels == 1 ? 1.0 : 1.0 / in.channels);
    if (swr_set_matrix(ctx_, matrix.data(), in.channels) < 0) return false;
  }
  return swr_init(ctx_) >= 0;
}

}  // namespace qb
