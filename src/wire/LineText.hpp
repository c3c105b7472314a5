#pragma once
// Text hygiene for the line-based channels: standard input may carry any bytes, while
// every line the helper writes must be valid UTF-8 and exactly one line.

#include <cstddef>
#include <string>
#include <string_view>

#include "runtime/Utf8.hpp"  // repairUtf8, isValidUtf8

namespace qb {

// The text as valid UTF-8 with control characters (other than tab) written as "\xHH",
// or as "\u00HH" between double quotes, so that it can never end or split a line and a
// line carrying JSON stays valid JSON.
std::string toSingleLine(std::string_view text);
// True when toSingleLine would change the text.
bool needsSingleLineCleanup(std::string_view text);

// The first `count` user-perceived characters of UTF-8 text: a base character keeps its
// combining marks, variation selectors, emoji modifiers and zero-width-joined parts.
std::string prefixCharacters(std::string_view text, size_t count);

}  // namespace qb
