#pragma once
// Text properties of other clients' windows (titles) as UTF-8. Any client may set any bytes,
// so whatever comes in, valid UTF-8 comes out.

#include <cstddef>
#include <string>
#include <string_view>

namespace qb::x11 {

enum class TextEncoding {
  utf8,          // UTF8_STRING (_NET_WM_NAME)
  latin1,        // STRING: ISO 8859-1
  compoundText,  // COMPOUND_TEXT: ISO 2022 escapes between character sets
};

// The first string of a text property (text properties may hold several, NUL-separated),
// decoded: broken UTF-8 becomes U+FFFD; in compound text, Latin-1 and UTF-8 segments are
// decoded and characters of other sets each become one U+FFFD per run. At most `maxBytes`
// of output, cut at a character boundary. Pure; any thread.
std::string textPropertyToUtf8(std::string_view bytes, TextEncoding encoding, size_t maxBytes = 1024);

}  // namespace qb::x11
