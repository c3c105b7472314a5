#include "wire/LineText.hpp"

#include <cstdint>

namespace qb {

namespace {

bool isLineBreaking(uint8_t c) { return (c < 0x20 && c != '\t') || c == 0x7F; }

// One decoded code point and its length in bytes. A byte that does not start a valid
// sequence counts as one character of its own.
struct CodePoint {
  char32_t value;
  size_t length;
};

CodePoint decodeAt(std::string_view s, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = byte(i);
  size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
  if (len == 0 || i + len > s.size()) return {0xFFFD, 1};
  if (len == 1) return {c, 1};
  char32_t v = c & (0x7F >> len);
  for (size_t k = 1; k < len; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return {0xFFFD, 1};
    v = (v << 6) | (byte(i + k) & 0x3F);
  }
  return {v, len};
}

bool in(char32_t c, char32_t lo, char32_t hi) { return c >= lo && c <= hi; }

// Marks that never start a character of their own: combining marks of the common
// scripts, variation selectors, emoji skin-tone modifiers and tag characters.
bool isExtending(char32_t c) {
  return in(c, 0x0300, 0x036F) || in(c, 0x0483, 0x0489) || in(c, 0x0591, 0x05BD) || c == 0x05BF ||
         in(c, 0x05C1, 0x05C2) || in(c, 0x05C4, 0x05C5) || c == 0x05C7 || in(c, 0x0610, 0x061A) ||
         in(c, 0x064B, 0x065F) || c == 0x0670 || in(c, 0x06D6, 0x06DC) || in(c, 0x06DF, 0x06E4) ||
         in(c, 0x06E7, 0x06E8) || in(c, 0x06EA, 0x06ED) || in(c, 0x0900, 0x0903) || in(c, 0x093A, 0x094F) ||
         in(c, 0x0951, 0x0957) || in(c, 0x0962, 0x0963) || in(c, 0x0E31, 0x0E31) || in(c, 0x0E34, 0x0E3A) ||
         in(c, 0x0E47, 0x0E4E) || in(c, 0x1AB0, 0x1AFF) || in(c, 0x1DC0, 0x1DFF) || c == 0x200C ||
         in(c, 0x20D0, 0x20FF) || in(c, 0x3099, 0x309A) || in(c, 0xFE00, 0xFE0F) || in(c, 0xFE20, 0xFE2F) ||
         in(c, 0x1F3FB, 0x1F3FF) || in(c, 0xE0020, 0xE007F) || in(c, 0xE0100, 0xE01EF);
}

bool isRegionalIndicator(char32_t c) { return in(c, 0x1F1E6, 0x1F1FF); }

}  // namespace

bool needsSingleLineCleanup(std::string_view text) {
  bool ascii = true;
  for (char ch : text) {
    auto c = static_cast<uint8_t>(ch);
    if (isLineBreaking(c)) return true;
    if (c >= 0x80) ascii = false;
  }
  return !ascii && !isValidUtf8(text);
}

std::string toSingleLine(std::string_view text) {
  if (!needsSingleLineCleanup(text)) return std::string(text);
  static const char* digits = "0123456789ABCDEF";
  std::string repaired = repairUtf8(text);
  std::string out;
  out.reserve(repaired.size() + 16);
  // Between double quotes a control character takes JSON's own escape, so that a line
  // carrying JSON stays valid JSON; "\x" would end its parse.
  bool inQuotes = false, escaped = false;
  for (char ch : repaired) {
    auto c = static_cast<uint8_t>(ch);
    if (isLineBreaking(c)) {
      out += inQuotes ? "\\u00" : "\\x";
      out.push_back(digits[c >> 4]);
      out.push_back(digits[c & 15]);
      escaped = false;
      continue;
    }
    out.push_back(ch);
    if (!inQuotes)
      inQuotes = ch == '"';
    else if (escaped)
      escaped = false;
    else if (ch == '\\')
      escaped = true;
    else if (ch == '"')
      inQuotes = false;
  }
  return out;
}

std::string prefixCharacters(std::string_view text, size_t count) {
  size_t i = 0;
  size_t characters = 0;
  char32_t previous = 0;
  bool openRegionalPair = false;
  while (i < text.size()) {
    CodePoint cp = decodeAt(text, i);
    bool joins = false;
    if (i > 0) {
      if (isExtending(cp.value) || cp.value == 0x200D || previous == 0x200D) {
        joins = true;
      } else if (previous == '\r' && cp.value == '\n') {
        joins = true;
      } else if (isRegionalIndicator(cp.value) && openRegionalPair) {
        joins = true;
      }
    }
    if (!joins) {
      if (characters == count) break;
      ++characters;
    }
    // Flags are pairs of regional indicators; a third one starts a new flag.
    openRegionalPair = isRegionalIndicator(cp.value) && !(joins && openRegionalPair);
    previous = cp.value;
    i += cp.length;
  }
  return std::string(text.substr(0, i));
}

}  // namespace qb
