#include "wire/AudioProtocol.hpp"

#include <cmath>
#include <cstring>

namespace qb {

namespace {

// Fills a buffer sized for the whole frame, field by field, little-endian. The header is
// written in place rather than grown byte by byte: one allocation, no re-checks of capacity.
class FieldWriter {
 public:
  explicit FieldWriter(std::vector<uint8_t>& out) : at_(out.data()) {}

  template <class T>
  void le(T value) {
    for (size_t i = 0; i < sizeof(T); ++i) *at_++ = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
  }
  void bytes(std::span<const uint8_t> data) {
    if (!data.empty()) std::memcpy(at_, data.data(), data.size());
    at_ += data.size();
  }

 private:
  uint8_t* at_;
};

}  // namespace

uint16_t levelField(double rms) {
  double v = (rms >= 0.0 ? rms : 0.0) * 65535.0;
  if (!(rms < 1.0)) v = 65535.0;  // also catches NaN
  return static_cast<uint16_t>(v);
}

std::vector<uint8_t> encodeAudioFrame(AudioProtocol::FrameType type, uint16_t sampleRate, uint8_t channels,
                                      uint8_t bitsPerSample, double rms, std::span<const uint8_t> pcm,
                                      uint32_t sequence) {
  std::vector<uint8_t> out(AudioProtocol::headerSize + pcm.size());
  FieldWriter w(out);
  w.bytes(AudioProtocol::magicBytes);
  w.le(AudioProtocol::version);
  w.le(static_cast<uint8_t>(type));
  w.le(sampleRate);
  w.le(channels);
  w.le(bitsPerSample);
  w.le(levelField(rms));
  w.le(static_cast<uint32_t>(pcm.size()));
  w.le(sequence);
  w.le(uint32_t{0});
  w.bytes(pcm);
  return out;
}

std::vector<uint8_t> encodeVideoFrame(uint16_t width, uint16_t height, uint8_t fps, bool isKeyframe, uint64_t pts,
                                      std::span<const uint8_t> nal, uint32_t sequence) {
  std::vector<uint8_t> out(AudioProtocol::videoHeaderSize + nal.size());
  FieldWriter w(out);
  w.bytes(AudioProtocol::magicBytes);
  w.le(AudioProtocol::videoVersion);
  w.le(static_cast<uint8_t>(AudioProtocol::FrameType::video));
  w.le(width);
  w.le(height);
  w.le(fps);
  w.le(static_cast<uint8_t>(isKeyframe ? 1 : 2));
  w.le(pts);
  w.le(static_cast<uint32_t>(nal.size()));
  w.le(sequence);
  w.le(uint32_t{0});
  w.bytes(nal);
  return out;
}

}  // namespace qb
