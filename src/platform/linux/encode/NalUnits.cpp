#include "platform/linux/encode/NalUnits.hpp"

namespace qb::encode {

namespace {

uint32_t readBigEndian(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// True when the packet is a chain of length-prefixed units ending exactly at its end. Annex B
// data almost never passes: its first "length" would be 1 (00 00 00 01) and its second unit
// would have to start five bytes in with a length that lands on the end.
bool isLengthPrefixed(std::span<const uint8_t> packet) {
  size_t at = 0;
  while (at + 4 <= packet.size()) {
    const uint32_t length = readBigEndian(packet.data() + at);
    if (length < 2 || length > packet.size() - at - 4) return false;
    if (packet[at + 4] & 0x80) return false;  // forbidden_zero_bit
    at += 4 + length;
  }
  return at == packet.size() && !packet.empty();
}

}  // namespace

std::vector<std::span<const uint8_t>> splitNalUnits(std::span<const uint8_t> packet) {
  std::vector<std::span<const uint8_t>> units;
  if (isLengthPrefixed(packet)) {
    for (size_t at = 0; at < packet.size();) {
      const uint32_t length = readBigEndian(packet.data() + at);
      units.push_back(packet.subspan(at + 4, length));
      at += 4 + length;
    }
    return units;
  }
  // Annex B: units start after 00 00 01 (a fourth leading zero belongs to the start code).
  const size_t n = packet.size();
  size_t start = SIZE_MAX;
  for (size_t i = 0; i + 2 < n;) {
    if (packet[i + 2] > 1) {
      i += 3;
      continue;
    }
    if (packet[i] == 0 && packet[i + 1] == 0 && packet[i + 2] == 1) {
      if (start != SIZE_MAX) {
        size_t end = i;
        while (end > start && packet[end - 1] == 0) --end;  // trailing zeros and a 4-byte code
        if (end > start) units.push_back(packet.subspan(start, end - start));
      }
      start = i + 3;
      i += 3;
      continue;
    }
    ++i;
  }
  if (start != SIZE_MAX && start < n) units.push_back(packet.subspan(start));
  return units;
}

}  // namespace qb::encode
