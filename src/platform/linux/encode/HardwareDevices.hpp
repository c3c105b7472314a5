#pragma once
// The devices a hardware H.264 encoder needs: a DRM render node (VAAPI) or NVIDIA's control
// device (NVENC). Without either, no hardware encoder is worth loading.

#include <optional>
#include <string>

namespace qb::encode {

// The first render node ("/dev/dri/renderD128"), or none.
std::optional<std::string> vaapiRenderNode();
bool nvencDevicePresent();

}  // namespace qb::encode
