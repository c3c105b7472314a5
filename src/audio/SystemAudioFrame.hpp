#pragma once

#include <cstdint>
#include <vector>

namespace qb {

// One chunk of system audio as a source delivered it, in the output encoding.
struct SystemAudioFrame {
  std::vector<uint8_t> pcmData;
  float rms = 0;  // unused: levels are measured per cut frame
};

}  // namespace qb
