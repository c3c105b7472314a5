#pragma once
// The desktop portal client's pure decisions: object paths of requests and sessions, which
// source type and cursor mode to ask for, what a Response code means and where a file URI
// points. No I/O, so the unit tests check them alone.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/PlatformError.hpp"

namespace qb::portal {

inline constexpr const char* kPortalService = "org.freedesktop.portal.Desktop";
inline constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
inline constexpr const char* kScreenCastInterface = "org.freedesktop.portal.ScreenCast";
inline constexpr const char* kScreenshotInterface = "org.freedesktop.portal.Screenshot";
inline constexpr const char* kRequestInterface = "org.freedesktop.portal.Request";
inline constexpr const char* kSessionInterface = "org.freedesktop.portal.Session";
inline constexpr const char* kErrorDomain = "ScreenCaptureErrorDomain";

// ScreenCast source types and cursor modes (bit masks of the interface).
inline constexpr uint32_t kSourceMonitor = 1;
inline constexpr uint32_t kSourceWindow = 2;
inline constexpr uint32_t kCursorHidden = 1;
inline constexpr uint32_t kCursorEmbedded = 2;
inline constexpr uint32_t kCursorMetadata = 4;
// Persist the permission until the user revokes it: a restore token then stays good across
// runs of the helper, for its one next use.
inline constexpr uint32_t kPersistUntilRevoked = 2;

// The user cancelled the desktop's chooser (the code the logic knows as "user declined").
inline constexpr int64_t kUserDeclined = -3801;

// The part of a portal object path that names the caller: ":1.42" becomes "1_42".
inline std::string senderPathElement(std::string_view uniqueName) {
  std::string out;
  for (char c : uniqueName.starts_with(':') ? uniqueName.substr(1) : uniqueName) out += c == '.' ? '_' : c;
  return out;
}

// Where the portal puts the Request object for a call made with handle_token `token`.
inline std::string requestPath(std::string_view uniqueName, std::string_view token) {
  return std::string(kPortalPath) + "/request/" + senderPathElement(uniqueName) + "/" + std::string(token);
}

// Where the portal puts the Session object for a CreateSession with session_handle_token `token`.
inline std::string sessionPath(std::string_view uniqueName, std::string_view token) {
  return std::string(kPortalPath) + "/session/" + senderPathElement(uniqueName) + "/" + std::string(token);
}

// The cursor mode to ask for, from the modes the portal offers: drawn into the pictures where
// possible, else as metadata the stream draws itself, else left out. None: the portal has no
// cursor modes (version 1), so the option is not passed.
inline std::optional<uint32_t> chooseCursorMode(uint32_t available, bool showsCursor) {
  if (available == 0) return std::nullopt;
  if (!showsCursor) {
    if (available & kCursorHidden) return kCursorHidden;
  } else {
    if (available & kCursorEmbedded) return kCursorEmbedded;
    if (available & kCursorMetadata) return kCursorMetadata;
  }
  for (uint32_t mode : {kCursorHidden, kCursorEmbedded, kCursorMetadata})
    if (available & mode) return mode;
  return std::nullopt;
}

// What a portal Response code means: 0 granted, 1 the user cancelled, anything else the
// desktop ended the interaction. None for success.
inline std::optional<PlatformError> responseError(uint32_t code, std::string_view what) {
  if (code == 0) return std::nullopt;
  if (code == 1)
    return PlatformError{kUserDeclined, kErrorDomain,
                         "The user cancelled " + std::string(what) + " in the desktop's screen-sharing dialog"};
  return PlatformError{StreamErrorCode::kFailed, kErrorDomain,
                       "The desktop portal refused " + std::string(what) + " (response " + std::to_string(code) + ")"};
}

// The local path of a file:// URI, percent-escapes decoded; none for other URIs, for a
// host other than this one, and for escapes that are not two hex digits or decode to NUL.
inline std::optional<std::string> localPathOfUri(std::string_view uri) {
  constexpr std::string_view scheme = "file://";
  if (!uri.starts_with(scheme)) return std::nullopt;
  uri.remove_prefix(scheme.size());
  if (uri.starts_with("localhost/")) uri.remove_prefix(std::string_view("localhost").size());
  if (!uri.starts_with('/')) return std::nullopt;
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string path;
  for (size_t i = 0; i < uri.size(); ++i) {
    if (uri[i] != '%') {
      path += uri[i];
      continue;
    }
    const int hi = i + 1 < uri.size() ? hex(uri[i + 1]) : -1;
    const int lo = i + 2 < uri.size() ? hex(uri[i + 2]) : -1;
    if (hi < 0 || lo < 0 || (hi == 0 && lo == 0)) return std::nullopt;
    path += char(hi * 16 + lo);
    i += 2;
  }
  return path;
}

}  // namespace qb::portal
