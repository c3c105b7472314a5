#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace qb {

// Standard alphabet, with padding, no line breaks.
std::string base64Encode(std::span<const uint8_t> bytes);

}  // namespace qb
