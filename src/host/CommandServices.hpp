#pragma once
// What the command loop creates and drives, made by factories so that the loop can be
// built before (and tested without) the real services. Each face lives with its layer.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "audio/AudioSource.hpp"
#include "monitoring/MonitoringService.hpp"
#include "screen/VideoSource.hpp"
#include "sources/LiveMicrophone.hpp"

namespace qb {

// An empty factory (or one that returns null) leaves its service out: START_STREAMING
// streams a silent channel, START_VIDEO answers that screen capture is not available,
// and without a monitor factory START_MIC_MONITORING is unknown.
struct CommandServices {
  // `deviceID`: the microphone START_STREAMING chose (listed by the platform), none for the
  // default.
  std::function<std::shared_ptr<LiveMicrophone>(const std::optional<std::string>& deviceID)> makeMicrophone;
  std::function<std::shared_ptr<AudioSource>()> makeSystemAudio;
  std::function<std::shared_ptr<VideoSource>(const VideoFormat&)> makeVideoSource;
  std::function<std::shared_ptr<MonitoringService>()> makeMicrophoneMonitor;
  std::function<std::shared_ptr<MonitoringService>()> makeMicAppDetector;
};

}  // namespace qb
