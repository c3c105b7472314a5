#include "wire/AudioProtocol.hpp"

#include <cmath>

namespace qb {

namespace {

template <class T>
void putLE(std::vector<uint8_t>& out, T value) {
  for (size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i)));
}

}  // namespace

uint16_t levelField(double rms) {
  double v = (rms >= 0.0 ? rms : 0.0) * 65535.0;
  if (!(rms < 1.0)) v = 65535.0;  // also catches NaN
  return static_cast<uint16_t>(v);
}

std::vector<uint8_t> encodeAudioFrame(AudioProtocol::FrameType type, uint16_t sampleRate, uint8_t channels,
                                      uint8_t bitsPerSample, double rms, std::span<const uint8_t> pcm,
                                      uint32_t sequence) {
  std::vector<uint8_t> out;
  out.reserve(AudioProtocol::headerSize + pcm.size());
  out.insert(out.end(), AudioProtocol::magicBytes.begin(), AudioProtocol::magicBytes.end());
  out.push_back(AudioProtocol::version);
  out.push_back(static_cast<uint8_t>(type));
  putLE<uint16_t>(out, sampleRate);
  out.push_back(channels);
  out.push_back(bitsPerSample);
  putLE<uint16_t>(out, levelField(rms));
  putLE<uint32_t>(out, static_cast<uint32_t>(pcm.size()));
  putLE<uint32_t>(out, sequence);
  putLE<uint32_t>(out, 0);
  out.insert(out.end(), pcm.begin(), pcm.end());
  return out;
}

std::vector<uint8_t> encodeVideoFrame(uint16_t width, uint16_t height, uint8_t fps, bool isKeyframe, uint64_t pts,
                                      std::span<const uint8_t> nal, uint32_t sequence) {
  std::vector<uint8_t> out;
  out.reserve(AudioProtocol::videoHeaderSize + nal.size());
  out.insert(out.end(), AudioProtocol::magicBytes.begin(), AudioProtocol::magicBytes.end());
  out.push_back(AudioProtocol::videoVersion);
  out.push_back(static_cast<uint8_t>(AudioProtocol::FrameType::video));
  putLE<uint16_t>(out, width);
  putLE<uint16_t>(out, height);
  out.push_back(fps);
  out.push_back(isKeyframe ? 1 : 2);
  putLE<uint64_t>(out, pts);
  putLE<uint32_t>(out, static_cast<uint32_t>(nal.size()));
  putLE<uint32_t>(out, sequence);
  putLE<uint32_t>(out, 0);
  out.insert(out.end(), nal.begin(), nal.end());
  return out;
}

}  // namespace qb
