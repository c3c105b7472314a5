// Window properties are set by any client with any bytes: title, class and owner come
// out as valid UTF-8 within their limits and a PID in range, and the application named
// after them stays valid text too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/linux/x11/X11Windows.hpp"
#include "runtime/Utf8.hpp"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  // A header byte picks which properties are set and WM_NAME's encoding; the PID word
  // follows; the rest is cut at 0xFF into _NET_WM_NAME, WM_NAME, WM_CLASS and the machine.
  const uint8_t flags = data[0];
  uint32_t pid;
  std::memcpy(&pid, data + 1, 4);
  std::string_view rest(reinterpret_cast<const char*>(data + 5), size - 5);
  std::string_view fields[4];
  for (auto& field : fields) {
    const size_t cut = rest.find('\xFF');
    field = rest.substr(0, cut);
    rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
  }
  qb::X11WindowProperties p;
  if (flags & 1) p.netWmName = fields[0];
  if (flags & 2) p.wmName = {{static_cast<qb::x11::TextEncoding>((flags >> 2) % 3), fields[1]}};
  p.wmClass = fields[2];
  if (flags & 16) p.pid = {pid};
  p.clientMachine = fields[3];

  qb::X11Window window;
  qb::applyX11WindowProperties(window, p, "fuzzhost");
  if (window.title) check(qb::isValidUtf8(*window.title) && window.title->size() <= 1024);
  check(qb::isValidUtf8(window.instance) && window.instance.size() <= 256);
  check(qb::isValidUtf8(window.klass) && window.klass.size() <= 256);
  if (window.pid) check(*window.pid > 0);
  if (auto app = qb::applicationOf(window, std::nullopt))
    check(qb::isValidUtf8(app->bundleIdentifier) && qb::isValidUtf8(app->applicationName));
  return 0;
}
