#include "audio/AudioLevel.hpp"

#include <cmath>

namespace qb {

double calculateRMSInt16(std::span<const uint8_t> data) {
  size_t sampleCount = data.size() / 2;
  if (sampleCount == 0) return 0;
  double sum = 0;
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    auto sample = static_cast<int16_t>(static_cast<uint16_t>(data[i] | (data[i + 1] << 8)));
    double v = sample / 32767.0;
    sum += v * v;
  }
  return std::sqrt(sum / static_cast<double>(sampleCount));
}

}  // namespace qb
