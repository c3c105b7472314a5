#pragma once
// UTF-8 checks and repair, for text that arrives as bytes from anywhere (standard input,
// other programs' window titles) and must leave as valid UTF-8.

#include <string>
#include <string_view>

namespace qb {

// Replaces each ill-formed UTF-8 sequence (maximal subpart) with U+FFFD; valid text is
// returned unchanged.
std::string repairUtf8(std::string_view text);
bool isValidUtf8(std::string_view text);

// Appends one code point; surrogates and values beyond U+10FFFF become U+FFFD.
void appendUtf8(std::string& out, char32_t codePoint);

}  // namespace qb
