// The helper's entry: start-up lines, then the command loop on the main thread.

#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "host/CommandLoop.hpp"
#include "monitoring/MicAppDetector.hpp"
#include "monitoring/MicrophoneMonitor.hpp"
#include "platform/linux/LinuxPlatform.hpp"
#include "runtime/ThreadExecutor.hpp"
#include "screen/ScreenVideoSource.hpp"
#include "sources/MicrophoneSource.hpp"
#include "sources/SystemAudioSource.hpp"
#include "wire/Output.hpp"

namespace {

// Our own activity tool, installed beside the helper (the PATH's when /proc cannot say
// where we run from).
std::string micLogTool() {
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "quellbrook-mic-log";
  return (self.parent_path() / "quellbrook-mic-log").string();
}

}  // namespace

int main() {
  // Pictures and encoder frames are megabytes each and live for one video run. A fixed
  // threshold keeps them in their own mappings, which STOP_VIDEO gives back; glibc's moving
  // one put the next run's buffers in a heap that cannot shrink, so every START_VIDEO after
  // the first raised the footprint (47 MB after a stop became 67 MB after the next).
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  // SIGPIPE keeps its default: a host that closes our pipes ends the helper.
  qb::logToStderr("Quellbrook starting...");
  qb::logToStderr("✅ macOS version check passed, creating Task...");

  // main never returns (STOP exits, end of input waits for a signal), so these are never
  // destroyed under the service threads that may still use them.
  qb::ThreadExecutor executor;
  qb::Platform platform = qb::makeLinuxPlatform(executor, [](const std::string& line) { qb::logToStderr(line); });
  qb::CommandServices services;
  services.makeMicrophone =
      [platform](const std::optional<std::string>& deviceID) mutable -> std::shared_ptr<qb::LiveMicrophone> {
    if (!platform.audio) return nullptr;
    return qb::MicrophoneSource::make(platform, deviceID);
  };
  services.makeSystemAudio = [platform]() -> std::shared_ptr<qb::AudioSource> {
    if (!platform.screen) return nullptr;
    return qb::SystemAudioSource::make(platform);
  };
  services.makeMicrophoneMonitor = [platform]() -> std::shared_ptr<qb::MonitoringService> {
    if (!platform.audio) return nullptr;
    return qb::MicrophoneMonitor::make(*platform.executor, platform.audio);
  };
  services.makeMicAppDetector = [platform]() -> std::shared_ptr<qb::MonitoringService> {
    return qb::MicAppDetector::make(*platform.executor, platform.processes, platform.apps, {micLogTool()});
  };
  if (platform.screen && platform.videoEncoders)
    services.makeVideoSource = [platform](const qb::VideoFormat& format) -> std::shared_ptr<qb::VideoSource> {
      return qb::ScreenVideoSource::make(platform, format);
    };
  // Exit without running static destructors under threads that may still be writing.
  auto exitProcess = [](int status) {
    qb::flushStderr();
    std::fflush(nullptr);
    std::_Exit(status);
  };
  qb::CommandLoop loop(
      platform, [] { return qb::startLineReader(STDIN_FILENO); }, exitProcess, std::move(services));

  qb::logToStderr("🟢 About to start RunLoop.main.run()...");
  qb::logToStderr("🔵 Task executing, about to call runApp()...");
  loop.run();

  // End of input: the process stays until it is terminated from outside.
  for (;;) pause();
}
