#pragma once
// H.264 NAL units out of an encoder's packet, whichever framing the encoder chose: Annex B
// start codes (hardware encoders) or 4-byte big-endian lengths (libx264 asked for it).

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace qb::encode {

enum NalType : uint8_t { kNalSlice = 1, kNalIdr = 5, kNalSei = 6, kNalSps = 7, kNalPps = 8, kNalAud = 9 };

inline NalType nalType(std::span<const uint8_t> nal) { return nal.empty() ? NalType(0) : NalType(nal[0] & 0x1F); }

// The units of a packet, without framing. A packet whose lengths chain exactly to its end is
// read as length-prefixed, anything else as Annex B; empty units are left out.
std::vector<std::span<const uint8_t>> splitNalUnits(std::span<const uint8_t> packet);

}  // namespace qb::encode
