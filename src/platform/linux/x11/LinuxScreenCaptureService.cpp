#include "platform/linux/x11/LinuxScreenCaptureService.hpp"

#include "platform/linux/pulse/SystemAudioStream.hpp"
#include "platform/linux/x11/X11Displays.hpp"
#include "runtime/Executor.hpp"

namespace qb {

LinuxScreenCaptureService::LinuxScreenCaptureService(Executor& executor,
                                                     std::shared_ptr<pulse::PulseConnection> connection,
                                                     std::shared_ptr<Queue> events)
    : executor_(executor), connection_(std::move(connection)), events_(std::move(events)) {}

void LinuxScreenCaptureService::shareableContent(bool, bool, std::function<void(Result<ShareableContent>)> done) {
  executor_.runAsync([done = std::move(done)] {
    ShareableContent content;
    if (auto monitors = queryX11Monitors()) {
      for (auto& m : *monitors) content.displays.push_back(DisplayInfo{m.id, m.width, m.height});
    } else {
      content.displays.push_back(DisplayInfo{kPlaceholderDisplayID, 0, 0});
    }
    done(std::move(content));
  });
}

std::shared_ptr<CaptureStream> LinuxScreenCaptureService::makeStream(const ContentFilter& filter,
                                                                     const StreamConfiguration& config,
                                                                     std::weak_ptr<StreamDelegate> delegate) {
  return SystemAudioStream::create(executor_, connection_, events_, filter, config, std::move(delegate));
}

void LinuxScreenCaptureService::captureImage(const ContentFilter&, const StreamConfiguration&,
                                             std::function<void(Result<Image>)> done) {
  executor_.runAsync([done = std::move(done)] {
    done(PlatformError{StreamErrorCode::kFailed, "ScreenCaptureErrorDomain", "Screenshots are not supported yet"});
  });
}

}  // namespace qb
