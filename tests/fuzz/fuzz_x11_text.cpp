// Window titles: other clients may set any bytes in any of the text encodings; what comes
// out is valid UTF-8 within the size limit.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/linux/x11/X11Text.hpp"
#include "runtime/Utf8.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the encoding and the limit.
  const auto encoding = static_cast<qb::x11::TextEncoding>(data[0] % 3);
  const size_t limit = 1 + data[0] / 3;
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string text = qb::x11::textPropertyToUtf8(bytes, encoding, limit);
  if (!qb::isValidUtf8(text) || text.size() > limit) std::abort();
  return 0;
}
