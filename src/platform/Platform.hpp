#pragma once
// Everything the logic reaches of the machine, passed explicitly to each component.

#include <functional>
#include <memory>
#include <string>

#include "platform/AppIdentity.hpp"
#include "platform/AudioDeviceService.hpp"
#include "platform/ChildProcess.hpp"
#include "platform/ScreenCaptureService.hpp"
#include "platform/VideoEncoder.hpp"
#include "platform/WakeNotifier.hpp"
#include "runtime/Executor.hpp"

namespace qb {

// Where a backend writes its log lines. Called from any thread, never with a backend lock
// held; the text is a whole line without its newline.
using LogFunction = std::function<void(const std::string& line)>;

// The executor outlives the platform and everything made from it. A service left empty
// does not exist on this machine or build: callers check and report it as unavailable.
// Services are shared; what a service hands out may outlive it.
struct Platform {
  Executor* executor = nullptr;
  std::shared_ptr<AudioDeviceService> audio;
  std::shared_ptr<ScreenCaptureService> screen;
  std::shared_ptr<WakeNotifier> wake;
  std::shared_ptr<VideoEncoderFactory> videoEncoders;
  std::shared_ptr<ImageEncoder> images;
  std::shared_ptr<ProcessLauncher> processes;
  std::shared_ptr<AppIdentity> apps;
};

}  // namespace qb
