#include "platform/linux/LinuxPlatform.hpp"

#include "host/Output.hpp"
#include "platform/linux/LinuxAudioDeviceService.hpp"
#include "platform/linux/LinuxScreenCaptureService.hpp"
#include "platform/linux/LogindWakeNotifier.hpp"
#include "platform/linux/PulseConnection.hpp"

namespace qb {

Platform makeLinuxPlatform(Executor& executor) {
  Platform p;
  p.executor = &executor;
  // One queue for everything the backends tell the logic (listeners, session
  // notifications, stream delegates) and for their log lines, so that no log write ever
  // happens with the sound-server lock held.
  auto events = executor.makeQueue("platform.events");
  auto log = [events](const std::string& line) { events->async([line] { logToStderr(line); }); };
  auto connection = std::make_shared<pulse::PulseConnection>(log);
  p.audio = std::make_shared<LinuxAudioDeviceService>(connection, events);
  p.screen = std::make_shared<LinuxScreenCaptureService>(executor, connection, events);
  p.wake = std::make_shared<LogindWakeNotifier>([](const std::string& line) { logToStderr(line); });
  return p;
}

}  // namespace qb
