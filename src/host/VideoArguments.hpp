#pragma once
// The JSON arguments of START_VIDEO and SWITCH_VIDEO: pure parsing, no I/O.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

#include "screen/VideoSource.hpp"

namespace qb {

struct VideoSettings {
  VideoTarget target;  // the type is passed on unchecked
  VideoFormat format;
};

// Why an argument was refused. `text` is what follows "<COMMAND>:error:" in the answer:
// the parser's description for unparsable text, else the fixed reason word.
struct VideoArgumentError {
  enum class Kind { unparsable, invalidJson, invalidTargetId, invalidTargetType };
  Kind kind;
  std::string text;
};

// Arguments are a few dozen bytes; anything near these bounds is refused unparsed.
inline constexpr size_t kMaxJsonArgumentBytes = 64 * 1024;
inline constexpr size_t kMaxJsonArgumentDepth = 32;

// A JSON argument bounded by the limits above and parsed strictly: an object, or the parser's
// description (kind unparsable), or invalid_json for a top-level array. No argument (no ':'
// on the line) means "{}"; an empty argument is unparsable. START_STREAMING shares it.
std::variant<nlohmann::json, VideoArgumentError> parseJsonObjectArgument(const std::optional<std::string>& argument);

// Missing keys, and values that are not exactly of the key's type (a string "fps", a
// fractional "width", an "id" outside UInt32), take the defaults.
std::variant<VideoSettings, VideoArgumentError> parseStartVideoArguments(const std::optional<std::string>& argument);

// Checks in this order: parsable, an object, "id" a number whose integer part lies in
// 1...4294967295, "type" exactly "display" or "window".
std::variant<VideoTarget, VideoArgumentError> parseSwitchVideoArguments(const std::optional<std::string>& argument);

}  // namespace qb
