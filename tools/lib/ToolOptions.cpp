#include "ToolOptions.hpp"

#include <cmath>
#include <cstdlib>
#include <filesystem>

namespace qbtools {

std::string defaultHelperBinary() {
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "quellbrook";
  // Installed, the helper lives in its own directory of libexec; in a build tree, beside us.
  auto installed = self.parent_path() / QB_HELPER_DIR_FROM_BINDIR / "quellbrook";
  if (std::filesystem::is_regular_file(installed, ec)) return installed.lexically_normal().string();
  return (self.parent_path() / "quellbrook").string();
}

std::optional<double> parseSeconds(const std::string& text) {
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || !(v >= 0) || !std::isfinite(v)) return std::nullopt;
  return v;
}

}  // namespace qbtools
