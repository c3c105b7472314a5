#include "platform/linux/LinuxPlatform.hpp"

#include "platform/linux/ScreenBackend.hpp"
#include "platform/linux/encode/H264EncoderFactory.hpp"
#include "platform/linux/encode/PngImageEncoder.hpp"
#include "platform/linux/identity/LinuxAppIdentity.hpp"
#include "platform/linux/identity/LinuxProcessLauncher.hpp"
#include "platform/linux/logind/LogindWakeNotifier.hpp"
#include "platform/linux/pulse/LinuxAudioDeviceService.hpp"
#include "platform/linux/pulse/PulseConnection.hpp"

namespace qb {

Platform makeLinuxPlatform(Executor& executor, LogFunction writeLog) {
  Platform p;
  p.executor = &executor;
  // One queue for everything the backends tell the logic (listeners, session
  // notifications, stream delegates) and for their log lines, so that no log write ever
  // happens with the sound-server lock held.
  auto events = executor.makeQueue("platform.events");
  auto log = [events, writeLog](const std::string& line) { events->async([writeLog, line] { writeLog(line); }); };
  auto connection = std::make_shared<pulse::PulseConnection>(log);
  p.audio = std::make_shared<LinuxAudioDeviceService>(connection, events);
  p.wake = std::make_shared<LogindWakeNotifier>(writeLog);
  p.processes = std::make_shared<LinuxProcessLauncher>();
  p.videoEncoders = std::make_shared<encode::H264EncoderFactory>(log);
  p.images = std::make_shared<encode::PngImageEncoder>();
  p.apps = std::make_shared<LinuxAppIdentity>();
  // Last, as it keeps p.apps to name the owners of windows: every other service is set by now.
  p.screen = makeScreenCaptureService(executor, connection, events, p.apps, log);
  return p;
}

}  // namespace qb
