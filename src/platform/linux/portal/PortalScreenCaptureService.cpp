#include "platform/linux/portal/PortalScreenCaptureService.hpp"

#include <cstring>

#include "platform/linux/encode/PngFile.hpp"
#include "platform/linux/pipewire/PipeWireVideoStream.hpp"
#include "platform/linux/portal/DesktopPortal.hpp"
#include "platform/linux/portal/PortalCaptureStream.hpp"
#include "platform/linux/portal/PortalDecisions.hpp"
#include "platform/linux/wayland/WaylandOutputs.hpp"
#include "platform/linux/x11/LinuxScreenCaptureService.hpp"
#include "runtime/Executor.hpp"

namespace qb::portal {

PortalScreenCaptureService::PortalScreenCaptureService(Executor& executor, std::shared_ptr<Queue> events,
                                                       std::shared_ptr<LinuxScreenCaptureService> fallback,
                                                       LogFunction log)
    : executor_(executor), events_(std::move(events)), fallback_(std::move(fallback)), log_(std::move(log)) {}

PortalScreenCaptureService::~PortalScreenCaptureService() = default;

std::shared_ptr<DesktopPortal> PortalScreenCaptureService::portal() {
  {
    std::unique_lock lock(mutex_);
    looked_.wait(lock, [&] { return look_ != Look::looking; });
    if (look_ == Look::done) return portal_;
    look_ = Look::looking;
  }
  std::string why;
  auto found = DesktopPortal::connect(kPortalTimeout, &why);
  if (!found && log_)
    log_("Screen capture: no desktop portal (" + why +
         "); capturing through X11 (Xwayland) instead, which sees only X11 windows: native Wayland windows are "
         "not listed and the screen outside Xwayland's windows shows black");
  {
    std::lock_guard lock(mutex_);
    portal_ = found;
    look_ = Look::done;
  }
  looked_.notify_all();
  return found;
}

bool PortalScreenCaptureService::userChoosesTargets() const {
  std::lock_guard lock(mutex_);
  return portal_ != nullptr;
}

void PortalScreenCaptureService::shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                                  std::function<void(Result<ShareableContent>)> done) {
  executor_.runAsync([weak = weak_from_this(), excludingDesktopWindows, onScreenWindowsOnly, done = std::move(done)] {
    auto self = weak.lock();
    if (!self) return done(PlatformError{StreamErrorCode::kFailed, kErrorDomain, "The screen service is gone"});
    if (!self->portal()) return self->fallback_->shareableContent(excludingDesktopWindows, onScreenWindowsOnly, done);
    std::string why;
    auto outputs = wayland::queryWaylandOutputs(&why);
    ShareableContent content;
    if (outputs)
      for (const auto& o : *outputs) content.displays.push_back({wayland::outputDisplayId(o.name), o.width, o.height});
    bool logNow = false;
    {
      std::lock_guard lock(self->mutex_);
      logNow = !outputs && !std::exchange(self->outputsMissingLogged_, true);
      if (outputs) self->outputsMissingLogged_ = false;
    }
    if (logNow && self->log_) self->log_("Wayland outputs unavailable: " + why);
    // System audio builds its stream on a display, so there is always one to name.
    if (content.displays.empty()) content.displays.push_back({kPlaceholderDisplayID, 0, 0});
    done(std::move(content));
  });
}

std::shared_ptr<CaptureStream> PortalScreenCaptureService::makeStream(const ContentFilter& filter,
                                                                      const StreamConfiguration& config,
                                                                      std::weak_ptr<StreamDelegate> delegate) {
  if (config.capturesAudio) return fallback_->makeStream(filter, config, std::move(delegate));
  auto found = portal();  // known by now: the caller listed the targets first
  if (!found) return fallback_->makeStream(filter, config, std::move(delegate));
  return PortalCaptureStream::create(executor_, events_, found, filter, config, std::move(delegate));
}

void PortalScreenCaptureService::captureImage(const ContentFilter& filter, const StreamConfiguration& config,
                                              std::function<void(Result<Image>)> done) {
  executor_.runAsync([weak = weak_from_this(), filter, config, done = std::move(done)] {
    auto self = weak.lock();
    if (!self) return done(PlatformError{StreamErrorCode::kFailed, kErrorDomain, "The screen service is gone"});
    auto portal = self->portal();
    if (!portal) return self->fallback_->captureImage(filter, config, done);
    done(self->screenshot(*portal, config));
  });
}

Result<Image> PortalScreenCaptureService::screenshot(DesktopPortal& portal, const StreamConfiguration& config) {
  auto uri = portal.screenshot(kScreenshotTimeout);
  if (auto* error = std::get_if<PlatformError>(&uri)) {
    if (error->code == kUserDeclined) return *error;
    // No Screenshot interface, or one that cannot: a picture of a screen cast instead.
    return pictureOfCast(portal, config);
  }
  auto path = localPathOfUri(std::get<std::string>(uri));
  if (!path)
    return PlatformError{StreamErrorCode::kFailed, kErrorDomain,
                         "The desktop portal's screenshot is not a local file: " + std::get<std::string>(uri)};
  return encode::readPngFile(*path);
}

Result<Image> PortalScreenCaptureService::pictureOfCast(DesktopPortal& portal, const StreamConfiguration& config) {
  DesktopPortal::CastRequest request;
  request.sourceType = kSourceMonitor;
  request.cursorMode = chooseCursorMode(portal.capabilities().cursorModes, config.showsCursor);
  auto granted = portal.startScreenCast(
      request, [] {}, PortalCaptureStream::kChooserTimeout);
  if (auto* error = std::get_if<PlatformError>(&granted)) return *error;
  auto& cast = std::get<DesktopPortal::Cast>(granted);

  // At the display's own size where it is known; else at the size the portal states.
  pipewire::PipeWireVideoStream::Config video;
  video.width = config.width > 0 ? config.width : (cast.width > 0 ? cast.width : 1920);
  video.height = config.height > 0 ? config.height : (cast.height > 0 ? cast.height : 1080);
  video.pixelFormat = kPixelFormatBGRA;
  video.pictures = 1;
  Completion<std::optional<VideoFrame>> first;
  pipewire::PipeWireVideoStream::Handler handler;
  handler.picture = [first](const VideoFrame& frame) { first.complete(frame); };
  handler.ended = [first](int64_t, const std::string&) { first.complete(std::nullopt); };
  std::string why;
  auto stream = pipewire::PipeWireVideoStream::open(std::move(cast.pipewire), cast.nodeId, video, std::move(handler),
                                                    executor_.clock(), PortalCaptureStream::kStreamStartTimeout, &why);
  if (!stream) return PlatformError{StreamErrorCode::kDisplayUnavailable, kErrorDomain, why};
  auto frame = first.waitFor(executor_, PortalCaptureStream::kStreamStartTimeout);
  stream.reset();
  if (!frame || !*frame)
    return PlatformError{StreamErrorCode::kFailed, kErrorDomain, "The screen cast gave no picture"};
  const VideoFrame& f = **frame;
  Image image;
  image.width = f.width;
  image.height = f.height;
  image.stride = f.width * 4;
  image.bgra.resize(size_t(image.stride) * size_t(image.height));
  for (int y = 0; y < f.height; ++y)
    std::memcpy(image.bgra.data() + size_t(y) * size_t(image.stride), f.planes[0] + ptrdiff_t(y) * f.strides[0],
                size_t(image.stride));
  return image;
}

}  // namespace qb::portal
