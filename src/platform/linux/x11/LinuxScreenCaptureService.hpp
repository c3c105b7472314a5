#pragma once
// Screen capture service: displays (the X server's RandR monitors) and windows
// (X11ShareableContent), capture streams that carry either pictures (X11CaptureStream) or,
// with capturesAudio, the output mix (SystemAudioStream), and screenshots (X11Screenshot).
//
// Without a reachable X server there is ONE placeholder display (id 1, 0x0) and no window,
// so that system audio, which needs a display only to build its stream, works without X.
// That is logged once ("X display unavailable: <reason>"), and again after X came back and
// went again.
//
// Thread-safe; completions run on the executor's pool.

#include <atomic>
#include <memory>

#include "platform/Platform.hpp"
#include "platform/ScreenCaptureService.hpp"
#include "platform/linux/pulse/PulseConnection.hpp"

namespace qb {

class AppIdentity;
class Executor;
class X11ShareableContent;

class LinuxScreenCaptureService final : public ScreenCaptureService {
 public:
  // `events` runs the streams' delegate calls; `apps` (may be null) names the applications
  // that own windows; `log` (may be empty) hears that X is missing.
  LinuxScreenCaptureService(Executor& executor, std::shared_ptr<pulse::PulseConnection> connection,
                            std::shared_ptr<Queue> events, std::shared_ptr<AppIdentity> apps = nullptr,
                            LogFunction log = {});

  bool requestPermission() override { return true; }  // X11 has no capture permission
  void shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                        std::function<void(Result<ShareableContent>)> done) override;
  std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter, const StreamConfiguration& config,
                                            std::weak_ptr<StreamDelegate> delegate) override;
  void captureImage(const ContentFilter& filter, const StreamConfiguration& config,
                    std::function<void(Result<Image>)> done) override;

  static constexpr uint32_t kPlaceholderDisplayID = 1;

 private:
  Executor& executor_;
  std::shared_ptr<pulse::PulseConnection> connection_;
  std::shared_ptr<Queue> events_;
  std::shared_ptr<X11ShareableContent> content_;
  LogFunction log_;
  std::shared_ptr<std::atomic<bool>> xMissingLogged_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace qb
