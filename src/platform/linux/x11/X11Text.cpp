#include "platform/linux/x11/X11Text.hpp"

#include <cstdint>

#include "runtime/Utf8.hpp"

namespace qb::x11 {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Appends text, writing a run of undecodable characters as one replacement character.
class Output {
 public:
  void codePoint(char32_t cp) {
    if (cp == kReplacement) {
      if (lastWasReplacement_) return;
      lastWasReplacement_ = true;
    } else {
      lastWasReplacement_ = false;
    }
    appendUtf8(text_, cp);
  }
  void utf8(std::string_view bytes) {
    if (bytes.empty()) return;
    text_ += repairUtf8(bytes);
    lastWasReplacement_ = false;
  }
  std::string take() { return std::move(text_); }

 private:
  std::string text_;
  bool lastWasReplacement_ = false;
};

enum class Charset { ascii, latin1High, unknownSingle, unknownDouble };

// Compound text: GL starts as ASCII and GR as the right half of Latin-1; escape sequences
// designate other sets into them, or switch to UTF-8 until "ESC % @".
std::string decodeCompoundText(std::string_view s) {
  Output out;
  Charset gl = Charset::ascii, gr = Charset::latin1High;
  size_t i = 0;
  auto at = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  while (i < s.size()) {
    const uint8_t b = at(i);
    if (b == 0x1B) {
      size_t k = i + 1;
      while (k < s.size() && at(k) >= 0x20 && at(k) <= 0x2F) ++k;
      if (k >= s.size()) break;  // a cut-off escape ends the text
      const std::string_view inter = s.substr(i + 1, k - i - 1);
      const char final = s[k];
      i = k + 1;
      if (inter == "%" && final == 'G') {
        const size_t end = s.find("\x1B%@", i);
        out.utf8(s.substr(i, end == std::string_view::npos ? std::string_view::npos : end - i));
        if (end == std::string_view::npos) break;
        i = end + 3;
      } else if (inter == "%/" && i + 2 <= s.size()) {
        // An extended segment carries its own length: skip it whole.
        const size_t length = size_t(at(i) & 0x7F) * 128 + (at(i + 1) & 0x7F);
        out.codePoint(kReplacement);
        i += 2 + length;
      } else if (inter == "(") {
        gl = final == 'B' || final == 'J' ? Charset::ascii : Charset::unknownSingle;
      } else if (inter == "-") {
        gr = final == 'A' ? Charset::latin1High : Charset::unknownSingle;
      } else if (inter == ")") {
        gr = Charset::unknownSingle;
      } else if (!inter.empty() && inter[0] == '$') {
        (inter == "$)" ? gr : gl) = Charset::unknownDouble;
      }
      continue;
    }
    if (b == 0x9B) {  // a direction change: nothing to show
      ++i;
      while (i < s.size() && at(i) >= 0x20 && at(i) <= 0x3F) ++i;
      if (i < s.size()) ++i;
      continue;
    }
    if (b < 0x20 || (b >= 0x80 && b < 0xA0)) {
      if (b == '\t' || b == '\n') out.codePoint(b);
      ++i;
      continue;
    }
    const Charset set = b < 0x80 ? gl : gr;
    switch (set) {
      case Charset::ascii:
        out.codePoint(b);
        break;
      case Charset::latin1High:
        out.codePoint(b | 0x80);
        break;
      case Charset::unknownDouble:
        ++i;
        [[fallthrough]];
      case Charset::unknownSingle:
        out.codePoint(kReplacement);
        break;
    }
    ++i;
  }
  return out.take();
}

}  // namespace

std::string textPropertyToUtf8(std::string_view bytes, TextEncoding encoding, size_t maxBytes) {
  if (const size_t nul = bytes.find('\0'); nul != std::string_view::npos) bytes = bytes.substr(0, nul);
  std::string text;
  switch (encoding) {
    case TextEncoding::utf8:
      text = repairUtf8(bytes);
      break;
    case TextEncoding::latin1: {
      Output out;
      for (char ch : bytes) out.codePoint(static_cast<uint8_t>(ch));
      text = out.take();
      break;
    }
    case TextEncoding::compoundText:
      text = decodeCompoundText(bytes);
      break;
  }
  if (text.size() > maxBytes) {
    size_t cut = maxBytes;
    while (cut > 0 && (static_cast<uint8_t>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
  }
  return text;
}

}  // namespace qb::x11
