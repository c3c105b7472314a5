#pragma once
// The helper these tests run: an installed one when QB_TEST_HELPER names it (a package's, in
// its private directory), else the one of this build tree. Its parts lie beside it.

#include <cstdlib>
#include <filesystem>
#include <string>

namespace qb::e2e {

inline std::string helperBinary() {
  const char* installed = std::getenv("QB_TEST_HELPER");
  return installed && *installed ? installed : QB_BINARY_DIR "/quellbrook";
}

inline std::string helperPart(const std::string& name) {
  return (std::filesystem::path(helperBinary()).parent_path() / name).string();
}

}  // namespace qb::e2e
