#include "host/VideoArguments.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "wire/LineText.hpp"

namespace qb {

namespace {

using Json = nlohmann::json;

// Nesting of arrays and objects, strings skipped; stops counting past `limit`.
size_t nestingDepth(std::string_view text, size_t limit) {
  size_t depth = 0, deepest = 0;
  bool inString = false, escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
      if (deepest > limit) break;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

}  // namespace

// Parses like a strict JSON reader: the top level must be an object or an array; any
// other outcome is a parser error with a one-line description. Size and nesting are
// bounded before parsing: a deeply nested megabyte once took 65 MB that the allocator
// never gave back.
std::variant<Json, VideoArgumentError> parseJsonObjectArgument(const std::optional<std::string>& argument) {
  std::string_view text = argument ? std::string_view(*argument) : std::string_view("{}");
  if (text.size() > kMaxJsonArgumentBytes)
    return VideoArgumentError{VideoArgumentError::Kind::unparsable,
                              "JSON argument too long: " + std::to_string(text.size()) + " bytes (at most " +
                                  std::to_string(kMaxJsonArgumentBytes) + ")"};
  if (nestingDepth(text, kMaxJsonArgumentDepth) > kMaxJsonArgumentDepth)
    return VideoArgumentError{
        VideoArgumentError::Kind::unparsable,
        "JSON argument nested too deeply (at most " + std::to_string(kMaxJsonArgumentDepth) + " levels)"};
  Json json;
  try {
    json = Json::parse(text);
  } catch (const Json::exception& e) {
    return VideoArgumentError{VideoArgumentError::Kind::unparsable, toSingleLine(e.what())};
  }
  if (!json.is_object() && !json.is_array())
    return VideoArgumentError{VideoArgumentError::Kind::unparsable,
                              "JSON text did not start with an array or an object"};
  if (!json.is_object()) return VideoArgumentError{VideoArgumentError::Kind::invalidJson, "invalid_json"};
  return json;
}

namespace {

// A JSON number converted exactly to an integer of [lo, hi]; booleans and strings are
// not numbers, and a fraction is not exact.
std::optional<int64_t> exactInteger(const Json& object, const char* key, int64_t lo, int64_t hi) {
  auto it = object.find(key);
  if (it == object.end()) return std::nullopt;
  if (it->is_number_unsigned()) {
    uint64_t v = it->get<uint64_t>();
    if (v > static_cast<uint64_t>(hi)) return std::nullopt;
    return static_cast<int64_t>(v);
  }
  if (it->is_number_integer()) {
    int64_t v = it->get<int64_t>();
    if (v < lo || v > hi) return std::nullopt;
    return v;
  }
  if (it->is_number_float()) {
    double d = it->get<double>();
    // 2^63 itself is out of range for int64_t; compare in doubles before converting.
    if (!std::isfinite(d) || d != std::trunc(d) || d < static_cast<double>(lo) || d >= 0x1p63) return std::nullopt;
    auto v = static_cast<int64_t>(d);
    if (v < lo || v > hi) return std::nullopt;
    return v;
  }
  return std::nullopt;
}

std::optional<std::string> stringValue(const Json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();

}  // namespace

std::variant<VideoSettings, VideoArgumentError> parseStartVideoArguments(const std::optional<std::string>& argument) {
  auto parsed = parseJsonObjectArgument(argument);
  if (auto* error = std::get_if<VideoArgumentError>(&parsed)) return *error;
  const Json& json = std::get<Json>(parsed);

  VideoSettings s;
  if (auto v = stringValue(json, "type")) s.target.type = *v;
  if (auto v = exactInteger(json, "id", 0, std::numeric_limits<uint32_t>::max()))
    s.target.id = static_cast<uint32_t>(*v);
  if (auto v = exactInteger(json, "width", kInt64Min, kInt64Max)) s.format.width = *v;
  if (auto v = exactInteger(json, "height", kInt64Min, kInt64Max)) s.format.height = *v;
  if (auto v = exactInteger(json, "fps", kInt64Min, kInt64Max)) s.format.fps = *v;
  if (auto v = exactInteger(json, "bitrate", kInt64Min, kInt64Max)) s.format.bitrate = *v;
  if (auto v = stringValue(json, "restoreToken")) s.target.restoreToken = *v;
  return s;
}

std::variant<VideoTarget, VideoArgumentError> parseSwitchVideoArguments(const std::optional<std::string>& argument) {
  auto parsed = parseJsonObjectArgument(argument);
  if (auto* error = std::get_if<VideoArgumentError>(&parsed)) return *error;
  const Json& json = std::get<Json>(parsed);

  VideoTarget target;
  target.type = stringValue(json, "type").value_or("");
  target.restoreToken = stringValue(json, "restoreToken").value_or("");

  // Any number counts; its integer part (fraction dropped) must be a valid target id.
  auto id = json.find("id");
  double integerPart = -1;
  if (id != json.end()) {
    if (id->is_number_unsigned())
      integerPart = static_cast<double>(id->get<uint64_t>());
    else if (id->is_number_integer())
      integerPart = static_cast<double>(id->get<int64_t>());
    else if (id->is_number_float())
      integerPart = std::trunc(id->get<double>());
  }
  if (!(integerPart >= 1 && integerPart <= 4294967295.0))
    return VideoArgumentError{VideoArgumentError::Kind::invalidTargetId, "invalid_target_id"};
  target.id = static_cast<uint32_t>(integerPart);

  if (target.type != "display" && target.type != "window")
    return VideoArgumentError{VideoArgumentError::Kind::invalidTargetType, "invalid_target_type"};
  return target;
}

}  // namespace qb
