#include "platform/AudioBuffer.hpp"

#include <cstring>

namespace qb {

size_t bytesPerSample(SampleFormat f) {
  switch (f) {
    case SampleFormat::Float32:
    case SampleFormat::Int32:
      return 4;
    case SampleFormat::Float64:
      return 8;
    case SampleFormat::Int16:
      return 2;
    case SampleFormat::UInt8:
      return 1;
    case SampleFormat::Other:
      return 0;
  }
  return 0;
}

const char* sampleFormatName(SampleFormat f) {
  switch (f) {
    case SampleFormat::Float32:
      return "float32";
    case SampleFormat::Float64:
      return "float64";
    case SampleFormat::Int16:
      return "int16";
    case SampleFormat::Int32:
      return "int32";
    case SampleFormat::UInt8:
      return "uint8";
    case SampleFormat::Other:
      return "other";
  }
  return "other";
}

std::optional<PcmFormat> PcmFormat::fromDescription(const StreamDescription& d) {
  if (d.sampleRate <= 0 || d.channelsPerFrame < 1 || d.channelsPerFrame > 2) return std::nullopt;
  PcmFormat f;
  f.sampleRate = d.sampleRate;
  f.channels = static_cast<int>(d.channelsPerFrame);
  f.interleaved = (d.formatFlags & FormatFlags::kNonInterleaved) == 0;
  bool isFloat = (d.formatFlags & FormatFlags::kFloat) != 0;
  if (d.formatFlags & FormatFlags::kBigEndian) return std::nullopt;
  switch (d.bitsPerChannel) {
    case 8:
      f.sampleFormat = isFloat ? SampleFormat::Other : SampleFormat::UInt8;
      break;
    case 16:
      f.sampleFormat = isFloat ? SampleFormat::Other : SampleFormat::Int16;
      break;
    case 32:
      f.sampleFormat = isFloat ? SampleFormat::Float32 : SampleFormat::Int32;
      break;
    case 64:
      f.sampleFormat = isFloat ? SampleFormat::Float64 : SampleFormat::Other;
      break;
    default:
      return std::nullopt;
  }
  if (f.sampleFormat == SampleFormat::Other) return std::nullopt;
  return f;
}

PcmBuffer PcmBuffer::make(PcmFormat f, size_t frames) {
  PcmBuffer b;
  b.format = f;
  b.frameLength = frames;
  b.bytes.assign(frames * bytesPerSample(f.sampleFormat) * static_cast<size_t>(f.channels), 0);
  return b;
}

const uint8_t* PcmBuffer::channelData(int c) const {
  if (format.interleaved) return bytes.data();
  return bytes.data() + static_cast<size_t>(c) * frameLength * bytesPerSample(format.sampleFormat);
}

std::optional<PcmBuffer> copyToPcmBuffer(const AudioSampleBuffer& in, const PcmFormat& f) {
  size_t need = in.numSamples * bytesPerSample(f.sampleFormat) * static_cast<size_t>(f.channels);
  if (in.data.size() < need) return std::nullopt;
  PcmBuffer b = PcmBuffer::make(f, in.numSamples);
  if (need) std::memcpy(b.bytes.data(), in.data.data(), need);
  return b;
}

}  // namespace qb
