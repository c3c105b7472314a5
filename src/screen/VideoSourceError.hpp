#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "platform/PlatformError.hpp"

namespace qb {

// Why a screen video source refused to start or switch. description() is the text the
// host sees after "START_VIDEO:error:" or "SWITCH_VIDEO:error:", e.g.
// targetNotFound("Display 5 not found").
struct VideoSourceError {
  enum class Kind {
    targetNotFound,         // message
    encoderCreationFailed,  // status
    permissionDenied,       // never raised on Linux; kept for hosts that match on it
    invalidSettings,        // message: a size, rate or bit rate the encoder cannot take
  };
  Kind kind = Kind::targetNotFound;
  std::string message;
  int32_t status = 0;

  static VideoSourceError targetNotFound(std::string message) { return {Kind::targetNotFound, std::move(message), 0}; }
  static VideoSourceError encoderCreationFailed(int32_t status) { return {Kind::encoderCreationFailed, {}, status}; }
  static VideoSourceError invalidSettings(std::string message) {
    return {Kind::invalidSettings, std::move(message), 0};
  }
  static VideoSourceError permissionDenied() { return {Kind::permissionDenied, {}, 0}; }

  std::string description() const;
  bool operator==(const VideoSourceError&) const = default;
};

// Start and switch fail with one of ours or with the platform's own error, unchanged.
using ScreenVideoError = std::variant<VideoSourceError, PlatformError>;
std::string describe(const ScreenVideoError& error);

// A string as a debugging literal: in double quotes, with backslash, quote and control
// characters escaped ("a\"b\n").
std::string quotedLiteral(const std::string& text);

}  // namespace qb
