#include "platform/linux/encode/HardwareDevices.hpp"

#include <filesystem>

namespace qb::encode {

std::optional<std::string> vaapiRenderNode() {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/dri", ec))
    if (entry.path().filename().string().starts_with("renderD")) return entry.path().string();
  return std::nullopt;
}

bool nvencDevicePresent() {
  std::error_code ec;
  return std::filesystem::exists("/dev/nvidiactl", ec);
}

}  // namespace qb::encode
