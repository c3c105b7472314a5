#pragma once
// What the command loop creates and drives, behind narrow faces so that the loop can be
// built before (and tested without) the real services.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "audio/SimpleAudioStreamer.hpp"
#include "host/VideoArguments.hpp"
#include "monitoring/MonitoringService.hpp"

namespace qb {

// A screen video source as the loop sees it. Errors come back in their printable form,
// which the loop puts after "<COMMAND>:error:". Called from the loop's thread only.
class VideoSource {
 public:
  virtual ~VideoSource() = default;
  virtual std::optional<std::string> start(const std::string& targetType, uint32_t targetID) = 0;
  virtual std::optional<std::string> switchTarget(const std::string& targetType, uint32_t targetID) = 0;
  virtual void stop() = 0;
  virtual bool isActive() const = 0;
};

// Factories for the long-lived services. An empty video factory makes START_VIDEO
// answer that screen capture is not available; an empty monitor factory leaves
// START_MIC_MONITORING unknown.
struct CommandServices {
  DefaultAudioSources audioSources;  // START_STREAMING's sources; empty: a silent streamer
  std::function<std::shared_ptr<VideoSource>(const VideoSettings&)> makeVideoSource;
  std::function<std::shared_ptr<MonitoringService>()> makeMicrophoneMonitor;
  std::function<std::shared_ptr<MonitoringService>()> makeMicAppDetector;
};

}  // namespace qb
