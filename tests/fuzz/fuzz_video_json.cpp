// START_VIDEO and SWITCH_VIDEO arguments: any bytes (after the reader's UTF-8 repair)
// give settings or an error text that fits on one line.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/VideoArguments.hpp"
#include "wire/LineText.hpp"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

void checkError(const qb::VideoArgumentError& e) {
  check(!e.text.empty());
  check(e.text.find('\n') == std::string::npos && e.text.find('\r') == std::string::npos);
  check(qb::isValidUtf8(e.text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string argument = qb::repairUtf8(std::string(reinterpret_cast<const char*>(data), size));

  auto start = qb::parseStartVideoArguments(argument);
  if (auto* e = std::get_if<qb::VideoArgumentError>(&start)) {
    checkError(*e);
    check(e->kind == qb::VideoArgumentError::Kind::unparsable || e->kind == qb::VideoArgumentError::Kind::invalidJson);
  }

  auto target = qb::parseSwitchVideoArguments(argument);
  if (auto* e = std::get_if<qb::VideoArgumentError>(&target)) {
    checkError(*e);
  } else {
    const auto& t = std::get<qb::VideoTarget>(target);
    check(t.id >= 1);
    check(t.type == "display" || t.type == "window");
  }
  return 0;
}
