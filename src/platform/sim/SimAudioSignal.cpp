#include "platform/sim/SimAudioSignal.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace qb {

StreamDescription pcmDescription(SampleFormat format, double sampleRate, uint32_t channels, bool interleaved) {
  StreamDescription d;
  d.sampleRate = sampleRate;
  d.channelsPerFrame = channels;
  const uint32_t bytes = static_cast<uint32_t>(bytesPerSample(format));
  d.bitsPerChannel = bytes * 8;
  switch (format) {
    case SampleFormat::Float32:
    case SampleFormat::Float64:
      d.formatFlags = FormatFlags::kFloat | FormatFlags::kPacked;
      break;
    case SampleFormat::Int16:
    case SampleFormat::Int32:
      d.formatFlags = FormatFlags::kSignedInteger | FormatFlags::kPacked;
      break;
    case SampleFormat::UInt8:
    case SampleFormat::Other:
      d.formatFlags = FormatFlags::kPacked;
      break;
  }
  if (!interleaved) d.formatFlags |= FormatFlags::kNonInterleaved;
  d.bytesPerFrame = interleaved ? bytes * channels : bytes;
  d.bytesPerPacket = d.bytesPerFrame;
  d.framesPerPacket = 1;
  return d;
}

SampleFormat sampleFormatOf(const StreamDescription& d) {
  const bool isFloat = (d.formatFlags & FormatFlags::kFloat) != 0;
  switch (d.bitsPerChannel) {
    case 8:
      return isFloat ? SampleFormat::Other : SampleFormat::UInt8;
    case 16:
      return isFloat ? SampleFormat::Other : SampleFormat::Int16;
    case 32:
      return isFloat ? SampleFormat::Float32 : SampleFormat::Int32;
    case 64:
      return isFloat ? SampleFormat::Float64 : SampleFormat::Other;
    default:
      return SampleFormat::Other;
  }
}

namespace {

void writeSample(uint8_t* p, SampleFormat f, float v) {
  const double c = std::clamp(static_cast<double>(v), -1.0, 1.0);
  switch (f) {
    case SampleFormat::Float32: {
      float x = static_cast<float>(c);
      std::memcpy(p, &x, 4);
      break;
    }
    case SampleFormat::Float64:
      std::memcpy(p, &c, 8);
      break;
    case SampleFormat::Int16: {
      auto x = static_cast<int16_t>(std::lround(std::clamp(c * 32768.0, -32768.0, 32767.0)));
      std::memcpy(p, &x, 2);
      break;
    }
    case SampleFormat::Int32: {
      auto x = static_cast<int32_t>(std::llround(std::clamp(c * 2147483648.0, -2147483648.0, 2147483647.0)));
      std::memcpy(p, &x, 4);
      break;
    }
    case SampleFormat::UInt8:
      *p = static_cast<uint8_t>(std::lround(std::clamp(128.0 + c * 128.0, 0.0, 255.0)));
      break;
    case SampleFormat::Other:
      break;
  }
}

}  // namespace

AudioSampleBuffer sampleBufferFromFloats(const StreamDescription& d, const std::vector<float>& interleaved) {
  AudioSampleBuffer b;
  b.description = d;
  const size_t channels = std::max<uint32_t>(d.channelsPerFrame, 1);
  const SampleFormat f = sampleFormatOf(d);
  const size_t bytes = bytesPerSample(f);
  b.numSamples = interleaved.size() / channels;
  b.data.assign(b.numSamples * channels * bytes, 0);
  const bool planar = (d.formatFlags & FormatFlags::kNonInterleaved) != 0;
  for (size_t i = 0; i < b.numSamples; ++i) {
    for (size_t c = 0; c < channels; ++c) {
      const size_t slot = planar ? c * b.numSamples + i : i * channels + c;
      writeSample(b.data.data() + slot * bytes, f, interleaved[i * channels + c]);
    }
  }
  return b;
}

AudioSampleBuffer sineBuffer(const StreamDescription& d, size_t frames, double frequency, double amplitude,
                             double& phase) {
  const size_t channels = std::max<uint32_t>(d.channelsPerFrame, 1);
  std::vector<float> samples(frames * channels);
  const double step = d.sampleRate > 0 ? 2 * std::numbers::pi * frequency / d.sampleRate : 0;
  for (size_t i = 0; i < frames; ++i) {
    const auto v = static_cast<float>(amplitude * std::sin(phase));
    std::fill_n(samples.begin() + static_cast<std::ptrdiff_t>(i * channels), channels, v);
    phase = std::fmod(phase + step, 2 * std::numbers::pi);
  }
  return sampleBufferFromFloats(d, samples);
}

double sineSnrDb(const std::vector<int16_t>& stereo, double frequency, double sampleRate, size_t skipFrames) {
  std::vector<double> y;
  for (size_t i = skipFrames; i < stereo.size() / 2; ++i) y.push_back(stereo[2 * i]);
  // Least-squares fit of a sin + b cos: what is left over is noise and distortion.
  double ss = 0, sc = 0, cc = 0, ys = 0, yc = 0;
  for (size_t i = 0; i < y.size(); ++i) {
    const double w = 2 * std::numbers::pi * frequency * static_cast<double>(i) / sampleRate;
    const double s = std::sin(w), c = std::cos(w);
    ss += s * s, sc += s * c, cc += c * c, ys += y[i] * s, yc += y[i] * c;
  }
  const double det = ss * cc - sc * sc;
  const double a = (ys * cc - yc * sc) / det, b = (yc * ss - ys * sc) / det;
  double signal = 0, noise = 0;
  for (size_t i = 0; i < y.size(); ++i) {
    const double w = 2 * std::numbers::pi * frequency * static_cast<double>(i) / sampleRate;
    const double fit = a * std::sin(w) + b * std::cos(w);
    signal += fit * fit;
    noise += (y[i] - fit) * (y[i] - fit);
  }
  return 10 * std::log10(signal / noise);
}

}  // namespace qb
