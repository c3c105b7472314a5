#pragma once
// One JSON value as the text of a protocol line.

#include <nlohmann/json.hpp>
#include <string>

namespace qb {

// Names, titles and device descriptions may hold bytes that are not UTF-8: they come out
// replaced rather than throwing, so the line stays valid JSON.
inline std::string jsonText(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace qb
