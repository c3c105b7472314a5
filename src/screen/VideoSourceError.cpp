#include "screen/VideoSourceError.hpp"

#include <cstdio>

namespace qb {

std::string quotedLiteral(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (u < 0x20 || u == 0x7F) {
          char buf[12];
          std::snprintf(buf, sizeof buf, "\\u{%x}", u);
          out += buf;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string VideoSourceError::description() const {
  switch (kind) {
    case Kind::targetNotFound:
      return "targetNotFound(" + quotedLiteral(message) + ")";
    case Kind::encoderCreationFailed:
      return "encoderCreationFailed(" + std::to_string(status) + ")";
    case Kind::permissionDenied:
      return "permissionDenied";
    case Kind::invalidSettings:
      return "invalidSettings(" + quotedLiteral(message) + ")";
  }
  return {};
}

std::string describe(const ScreenVideoError& error) {
  if (auto* e = std::get_if<VideoSourceError>(&error)) return e->description();
  return std::get<PlatformError>(error).printed();
}

}  // namespace qb
