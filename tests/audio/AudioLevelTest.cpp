#include <gtest/gtest.h>

#include <cmath>

#include "audio/AudioLevel.hpp"

namespace qb {
namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> values) {
  return std::vector<uint8_t>(values.begin(), values.end());
}

std::vector<uint8_t> int16Bytes(std::vector<int16_t> samples) {
  std::vector<uint8_t> out;
  for (auto s : samples) {
    out.push_back(static_cast<uint8_t>(s & 0xFF));
    out.push_back(static_cast<uint8_t>((static_cast<uint16_t>(s) >> 8) & 0xFF));
  }
  return out;
}

TEST(AudioLevel, MeasuresAgainstFullScale32767) {
  EXPECT_EQ(calculateRMSInt16(std::vector<uint8_t>(3840, 0)), 0.0);
  EXPECT_NEAR(calculateRMSInt16(int16Bytes(std::vector<int16_t>(1920, 16384))), 16384.0 / 32767.0, 1e-12);
  EXPECT_DOUBLE_EQ(calculateRMSInt16(int16Bytes({32767, -32767, 32767, -32767})), 1.0);
  EXPECT_GT(calculateRMSInt16(int16Bytes({-32768})), 1.0);
  // A trailing odd byte is ignored: one sample of 0x0100 = 256.
  EXPECT_DOUBLE_EQ(calculateRMSInt16(bytes({0x00, 0x01, 0x7F})), 256.0 / 32767.0);
  EXPECT_EQ(calculateRMSInt16(bytes({0x7F})), 0.0);
  EXPECT_EQ(calculateRMSInt16({}), 0.0);
}

}  // namespace
}  // namespace qb
