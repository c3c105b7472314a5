#pragma once
// Command-line pieces shared by the tools.

#include <optional>
#include <string>

namespace qbtools {

// The helper of the running tool's installation (libexec/quellbrook/ seen from bin/), else the
// one beside the tool (a build tree), or "quellbrook" on the PATH when /proc cannot say.
std::string defaultHelperBinary();

// A non-negative, finite number of seconds, or none for anything else.
std::optional<double> parseSeconds(const std::string& text);

}  // namespace qbtools
