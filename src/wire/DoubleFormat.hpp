#pragma once

#include <string>

namespace qb {

// The shortest decimal text that reads back to the same double, always with a
// fractional part or an exponent: 1800000000.0, 1712345678.123456, 0.5, 1e-05, 1e+16.
// Magnitudes from 1e-4 up to 2^53 are written in plain decimal, others in exponent form;
// "nan", "inf" and "-inf" for the non-finite values.
std::string formatShortestDouble(double value);

}  // namespace qb
