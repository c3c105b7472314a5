#include "wire/DoubleFormat.hpp"

#include <charconv>
#include <cmath>

namespace qb {

std::string formatShortestDouble(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buf[64];
  double magnitude = std::fabs(value);
  bool exponent = magnitude > 0x1p53 || (magnitude != 0 && magnitude < 1e-4);
  auto result =
      std::to_chars(buf, buf + sizeof buf, value, exponent ? std::chars_format::scientific : std::chars_format::fixed);
  std::string text(buf, result.ptr);
  if (!exponent && text.find('.') == std::string::npos) text += ".0";
  return text;
}

}  // namespace qb
