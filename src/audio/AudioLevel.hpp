#pragma once

#include <cstdint>
#include <span>

namespace qb {

// RMS of signed 16-bit little-endian samples relative to 32767 (so a full-scale square
// wave is 1.0). A trailing odd byte is ignored; fewer than two bytes give 0.
double calculateRMSInt16(std::span<const uint8_t> data);

}  // namespace qb
