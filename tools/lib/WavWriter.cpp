#include "WavWriter.hpp"

#include <algorithm>

namespace qbtools {

bool WavWriter::open(const std::string& path, uint32_t rate, uint16_t channels, uint16_t bits) {
  rate_ = rate;
  channels_ = channels;
  bits_ = bits;
  dataBytes_ = 0;
  file_.open(path, std::ios::binary | std::ios::trunc);
  if (!file_) return false;
  writeHeader(0);
  return static_cast<bool>(file_);
}

void WavWriter::append(const std::vector<uint8_t>& pcm) {
  file_.write(reinterpret_cast<const char*>(pcm.data()), static_cast<std::streamsize>(pcm.size()));
  dataBytes_ += pcm.size();
}

void WavWriter::close() {
  if (!file_.is_open()) return;
  file_.seekp(0);
  writeHeader(static_cast<uint32_t>(std::min<uint64_t>(dataBytes_, 0xFFFFFFFFu - 36)));
  file_.close();
}

void WavWriter::writeHeader(uint32_t dataBytes) {
  std::string h;
  auto u32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) h.push_back(static_cast<char>(v >> (8 * i)));
  };
  auto u16 = [&](uint16_t v) {
    h.push_back(static_cast<char>(v));
    h.push_back(static_cast<char>(v >> 8));
  };
  const uint16_t blockAlign = static_cast<uint16_t>(channels_ * bits_ / 8);
  h += "RIFF";
  u32(36 + dataBytes);
  h += "WAVEfmt ";
  u32(16);
  u16(1);
  u16(channels_);
  u32(rate_);
  u32(rate_ * blockAlign);
  u16(blockAlign);
  u16(bits_);
  h += "data";
  u32(dataBytes);
  file_.write(h.data(), static_cast<std::streamsize>(h.size()));
}

}  // namespace qbtools
