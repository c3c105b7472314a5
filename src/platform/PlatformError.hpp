#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace qb {

// An error from a platform service. `code` carries the numeric conditions the logic
// reacts to (-3805 capture taken over, -3815 display or output gone); domain and
// description are for people and logs only.
struct PlatformError {
  int64_t code = 0;
  std::string domain;
  std::string description;

  // Default printed form, used in log lines: Error Domain=<domain> Code=<code> "<description>"
  std::string printed() const {
    return "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + description + "\"";
  }
};

namespace StreamErrorCode {
inline constexpr int64_t kUserStopped = -3808;
inline constexpr int64_t kTakenOver = -3805;           // another client took the capture
inline constexpr int64_t kDisplayUnavailable = -3815;  // captured display/output vanished
inline constexpr int64_t kConnectionLost = -3821;      // sound server or X connection lost
inline constexpr int64_t kFailed = -3802;
}  // namespace StreamErrorCode

// A value, or what went wrong instead: a platform error unless the caller names another.
template <class T, class Error = PlatformError>
using Result = std::variant<T, Error>;

}  // namespace qb
