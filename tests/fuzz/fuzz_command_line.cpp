// Standard input as the helper reads it: arbitrary bytes cut into lines, each line
// split into a command word and argument, and echoed through the line writers.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/CommandParser.hpp"
#include "wire/LineText.hpp"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks a small line limit so that the overlong path is reached.
  const size_t maxLine = 1 + data[0] % 64;
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  size_t length = size - 1;

  size_t delivered = 0;
  qb::LineSplitter splitter({.onLine =
                                 [&](std::string line) {
                                   check(line.size() <= 3 * maxLine);  // U+FFFD is 3 bytes
                                   check(line.find('\n') == std::string::npos);
                                   check(qb::isValidUtf8(line));
                                   auto cmd = qb::parseCommandLine(line);
                                   check(cmd.command.find(':') == std::string::npos);
                                   check(cmd.argument.has_value() == (line.find(':') != std::string::npos));
                                   std::string echo = qb::toSingleLine("Received command: " + line);
                                   check(echo.find('\n') == std::string::npos && echo.find('\r') == std::string::npos);
                                   check(qb::isValidUtf8(echo));
                                   ++delivered;
                                 },
                             .onOverlong = [&](size_t n) { check(n > maxLine); }},
                            maxLine);
  // Feed in pieces whose sizes come from the data itself.
  size_t pos = 0;
  while (pos < length) {
    size_t piece = 1 + static_cast<uint8_t>(bytes[pos]) % 17;
    piece = piece < length - pos ? piece : length - pos;
    splitter.feed(std::span<const char>(bytes + pos, piece));
    check(splitter.bufferedBytes() <= maxLine + 1);
    pos += piece;
  }
  splitter.finish();

  // Invalid text of any kind comes back valid and single-line.
  std::string raw(bytes, length);
  check(qb::isValidUtf8(qb::repairUtf8(raw)));
  std::string line = qb::toSingleLine(raw);
  check(qb::isValidUtf8(line) && line.find('\n') == std::string::npos);
  return 0;
}
