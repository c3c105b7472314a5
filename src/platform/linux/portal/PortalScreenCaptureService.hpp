#pragma once
// Screen capture service of a Wayland session: what is captured is chosen by the user in the
// desktop portal's dialog (PortalCaptureStream), the displays listed are the compositor's
// outputs (WaylandOutputs), and screenshots come from the portal's Screenshot interface, or
// from one picture of a ScreenCast session where that fails. System audio is the sound
// server's, as on X11 (SystemAudioStream).
//
// The portal is looked for on first use. Without one (no session bus, no portal, or one
// without ScreenCast), every call goes to the X11 service instead, through Xwayland, which
// is logged once with what will be missing. Without a compositor to list, there is one
// placeholder display, as on X11 without a server.
//
// Thread-safe; completions run on the executor's pool.

#include <memory>
#include <mutex>

#include <condition_variable>
#include <string>

#include "platform/Platform.hpp"
#include "platform/ScreenCaptureService.hpp"

namespace qb {
class LinuxScreenCaptureService;
}

namespace qb::portal {

class DesktopPortal;

class PortalScreenCaptureService final : public ScreenCaptureService,
                                         public std::enable_shared_from_this<PortalScreenCaptureService> {
 public:
  static constexpr double kPortalTimeout = 10;
  static constexpr double kScreenshotTimeout = 60;
  static constexpr uint32_t kPlaceholderDisplayID = 1;

  // `fallback` serves system audio, and everything when the session has no portal. `events`
  // runs the streams' delegate calls; `log` hears what is missing.
  PortalScreenCaptureService(Executor& executor, std::shared_ptr<Queue> events,
                             std::shared_ptr<LinuxScreenCaptureService> fallback, LogFunction log);
  ~PortalScreenCaptureService() override;

  bool requestPermission() override { return true; }  // the portal asks for each capture
  void shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                        std::function<void(Result<ShareableContent>)> done) override;
  bool userChoosesTargets() const override;
  std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter, const StreamConfiguration& config,
                                            std::weak_ptr<StreamDelegate> delegate) override;
  void captureImage(const ContentFilter& filter, const StreamConfiguration& config,
                    std::function<void(Result<Image>)> done) override;

 private:
  // The portal, looked for once (blocking, bounded by kPortalTimeout); null without one.
  std::shared_ptr<DesktopPortal> portal();
  Result<Image> screenshot(DesktopPortal& portal, const StreamConfiguration& config);
  Result<Image> pictureOfCast(DesktopPortal& portal, const StreamConfiguration& config);

  Executor& executor_;
  std::shared_ptr<Queue> events_;
  std::shared_ptr<LinuxScreenCaptureService> fallback_;
  LogFunction log_;
  mutable std::mutex mutex_;  // guards the fields below
  std::condition_variable looked_;
  enum class Look { notYet, looking, done } look_ = Look::notYet;
  std::shared_ptr<DesktopPortal> portal_;
  bool outputsMissingLogged_ = false;
};

}  // namespace qb::portal
