#include "audio/SampleBufferPcm.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace qb {

SampleBufferPcm sampleBufferToPcm(const AudioSampleBuffer& sampleBuffer) {
  using Problem = SampleBufferPcmProblem;
  SampleBufferPcm out;
  auto fail = [&](Problem problem) {
    out.problem = problem;
    return out;
  };
  if (!sampleBuffer.description) return fail(Problem::unusable);
  const StreamDescription& d = *sampleBuffer.description;
  const size_t frames = sampleBuffer.numSamples;

  if (auto format = PcmFormat::fromDescription(d)) {
    if (frames < 1) return fail(Problem::unusable);
    out.buffer = copyToPcmBuffer(sampleBuffer, *format);
    if (!out.buffer) out.problem = Problem::copyFailed;
    return out;
  }

  // Devices with more than two channels (and no layout) cannot be described as a plain
  // PCM format: keep channel 0 as mono.
  const uint32_t channels = d.channelsPerFrame;
  if (channels < 3 || frames < 1) return fail(Problem::unusable);
  out.monoFallback = true;
  const uint32_t bits = d.bitsPerChannel;
  if (bits < 8) return fail(Problem::unusable);
  const size_t b = bits / 8;

  StreamDescription mono;
  mono.sampleRate = d.sampleRate;
  mono.formatFlags = d.formatFlags & ~FormatFlags::kNonInterleaved;
  mono.bytesPerPacket = static_cast<uint32_t>(b);
  mono.framesPerPacket = 1;
  mono.bytesPerFrame = static_cast<uint32_t>(b);
  mono.channelsPerFrame = 1;
  mono.bitsPerChannel = bits;
  auto monoFormat = PcmFormat::fromDescription(mono);
  if (!monoFormat) return fail(Problem::noMonoFormat);

  const auto& source = sampleBuffer.data;
  if (source.empty()) return fail(Problem::noData);
  const size_t total = source.size();
  // Sizes are checked by division before anything is allocated for `frames`: the count
  // comes from the service and a product could overflow.
  const bool planar = (d.formatFlags & FormatFlags::kNonInterleaved) != 0;
  const size_t stride = b * channels;
  if (planar && frames > total / b) return fail(Problem::planarTooShort);
  if (!planar && frames > total / stride) return fail(Problem::interleavedTooShort);

  PcmBuffer pcm = PcmBuffer::make(*monoFormat, frames);
  if (planar) {
    std::memcpy(pcm.bytes.data(), source.data(), frames * b);
  } else {
    for (size_t i = 0; i < frames; ++i) std::memcpy(pcm.bytes.data() + i * b, source.data() + i * stride, b);
  }
  out.buffer = std::move(pcm);
  return out;
}

double pcmLevel(const PcmBuffer& buffer) {
  if (buffer.frameLength == 0) return 0;
  const size_t count = buffer.frameLength * static_cast<size_t>(std::max(buffer.format.channels, 0));
  const size_t size = bytesPerSample(buffer.format.sampleFormat);
  if (count < 1 || buffer.bytes.size() < count * size) return 0;
  double sum = 0;
  const uint8_t* p = buffer.bytes.data();
  if (buffer.format.sampleFormat == SampleFormat::Float32) {
    for (size_t i = 0; i < count; ++i) {
      float s;
      std::memcpy(&s, p + i * 4, 4);
      sum += static_cast<double>(s) * static_cast<double>(s);
    }
  } else if (buffer.format.sampleFormat == SampleFormat::Int16) {
    for (size_t i = 0; i < count; ++i) {
      int16_t s;
      std::memcpy(&s, p + i * 2, 2);
      double v = s / 32768.0;
      sum += v * v;
    }
  } else {
    return 0;
  }
  return std::sqrt(sum / static_cast<double>(count));
}

}  // namespace qb
