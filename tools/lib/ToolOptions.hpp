#pragma once
// Command-line pieces shared by the tools.

#include <optional>
#include <string>

namespace qbtools {

// The helper binary beside the running tool, or "quellbrook" on the PATH.
std::string defaultHelperBinary();

// A non-negative, finite number of seconds, or none for anything else.
std::optional<double> parseSeconds(const std::string& text);

}  // namespace qbtools
