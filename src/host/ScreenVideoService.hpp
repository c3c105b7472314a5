#pragma once
// The screen video source behind the command loop's VideoSource face.

#include <functional>
#include <memory>

#include "host/CommandServices.hpp"
#include "platform/Platform.hpp"

namespace qb {

// Makes a ScreenVideoSource per START_VIDEO; needs the platform's screen service and
// video encoders.
std::function<std::shared_ptr<VideoSource>(const VideoSettings&)> screenVideoSourceFactory(Platform platform);

}  // namespace qb
