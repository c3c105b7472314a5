#pragma once
// Screen capture service, the part system audio needs: displays from the X server's RandR
// monitors and capture streams that carry the output mix (SystemAudioStream).
//
// Without a reachable X server there is ONE placeholder display (id 1, 0x0), so that
// system audio, which needs a display only to build its stream, works without X. Windows
// are not listed yet, and neither pictures nor screenshots are captured yet: adding a
// screen output and captureImage fail with an error that says so.
//
// Thread-safe; completions run on the executor's pool.

#include <memory>

#include "platform/ScreenCaptureService.hpp"
#include "platform/linux/pulse/PulseConnection.hpp"

namespace qb {

class Executor;

class LinuxScreenCaptureService final : public ScreenCaptureService {
 public:
  // `events` runs the streams' delegate calls.
  LinuxScreenCaptureService(Executor& executor, std::shared_ptr<pulse::PulseConnection> connection,
                            std::shared_ptr<Queue> events);

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
};

}  // namespace qb
