#include "platform/linux/x11/LinuxScreenCaptureService.hpp"

#include "platform/linux/pulse/SystemAudioStream.hpp"
#include "platform/linux/x11/X11CaptureStream.hpp"
#include "platform/linux/x11/X11Screenshot.hpp"
#include "platform/linux/x11/X11ShareableContent.hpp"
#include "runtime/Executor.hpp"

namespace qb {

LinuxScreenCaptureService::LinuxScreenCaptureService(Executor& executor,
                                                     std::shared_ptr<pulse::PulseConnection> connection,
                                                     std::shared_ptr<Queue> events, std::shared_ptr<AppIdentity> apps,
                                                     LogFunction log)
    : executor_(executor),
      connection_(std::move(connection)),
      events_(std::move(events)),
      content_(std::make_shared<X11ShareableContent>(std::move(apps))),
      log_(std::move(log)) {}

// Desktop windows are never offered (X11Windows.hpp), so excludingDesktopWindows changes nothing.
void LinuxScreenCaptureService::shareableContent(bool, bool onScreenWindowsOnly,
                                                 std::function<void(Result<ShareableContent>)> done) {
  executor_.runAsync(
      [content = content_, onScreenWindowsOnly, log = log_, logged = xMissingLogged_, done = std::move(done)] {
        std::string why;
        if (auto c = content->query(onScreenWindowsOnly, &why)) {
          logged->store(false);
          return done(std::move(*c));
        }
        // Every listing would say it again: a host lists often.
        if (!logged->exchange(true) && log) log("X display unavailable: " + why);
        ShareableContent placeholder;
        placeholder.displays.push_back(DisplayInfo{kPlaceholderDisplayID, 0, 0});
        done(std::move(placeholder));
      });
}

std::shared_ptr<CaptureStream> LinuxScreenCaptureService::makeStream(const ContentFilter& filter,
                                                                     const StreamConfiguration& config,
                                                                     std::weak_ptr<StreamDelegate> delegate) {
  if (config.capturesAudio)
    return SystemAudioStream::create(executor_, connection_, events_, filter, config, std::move(delegate));
  return X11CaptureStream::create(executor_, events_, filter, config, std::move(delegate));
}

void LinuxScreenCaptureService::captureImage(const ContentFilter& filter, const StreamConfiguration& config,
                                             std::function<void(Result<Image>)> done) {
  executor_.runAsync(
      [filter, cursor = config.showsCursor, done = std::move(done)] { done(x11::captureScreenshot(filter, cursor)); });
}

}  // namespace qb
