#pragma once
// The capture stream of a Wayland desktop: a ScreenCast session of the desktop portal and the
// PipeWire video stream it hands out (PipeWireVideoStream), which makes the pictures.
//
// startCapture asks the portal for a monitor (display filter) or a window (window filter),
// passing the filter's restore token so that an earlier choice is taken without asking; the
// user may have to choose in the desktop's dialog first, so it can take as long as the user
// does (at most kChooserTimeout). updateContentFilter asks again in a new session and keeps
// the old one until the new one streams. Each grant's restore token is kept for
// restoreToken().
//
// What ends the stream on its own, reported once through the delegate on the event queue
// (a node that goes with its session is reported as the session's end):
//   the desktop or the user closed the session   -3808
//   the shared node went away or failed           -3815
//   the connection to PipeWire was lost           -3821
//
// Thread-safe. Portal and PipeWire set-up and teardown run on the stream's own serial queue;
// completions run on the executor's pool, pictures on the output's queue.

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/ScreenCaptureService.hpp"

namespace qb {
class Executor;
class Queue;
}  // namespace qb

namespace qb::pipewire {
class PipeWireVideoStream;
}

namespace qb::portal {

class DesktopPortal;

class PortalCaptureStream final : public CaptureStream, public std::enable_shared_from_this<PortalCaptureStream> {
 public:
  static constexpr double kChooserTimeout = 300;
  static constexpr double kStreamStartTimeout = 10;
  // A desktop that ends a session also removes its node, and the two news come by different
  // ways: a node gone waits this long for the session's end, which says more.
  static constexpr double kNodeGoneGrace = 0.5;

  static std::shared_ptr<PortalCaptureStream> create(Executor& executor, std::shared_ptr<Queue> events,
                                                     std::shared_ptr<DesktopPortal> portal, const ContentFilter& filter,
                                                     const StreamConfiguration& config,
                                                     std::weak_ptr<StreamDelegate> delegate);
  ~PortalCaptureStream() override;

  const StreamConfiguration& configuration() const override { return config_; }
  std::optional<PlatformError> addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                                               std::shared_ptr<Queue> queue) override;
  std::optional<PlatformError> removeStreamOutput(StreamOutputType type) override;
  void startCapture(ErrorCompletion done) override;
  void stopCapture(ErrorCompletion done) override;
  void updateContentFilter(const ContentFilter& filter, ErrorCompletion done) override;
  std::optional<std::string> restoreToken() const override;

 private:
  struct Capture;
  struct Outlet;
  PortalCaptureStream(Executor& executor, std::shared_ptr<Queue> events, std::shared_ptr<DesktopPortal> portal,
                      const ContentFilter& filter, const StreamConfiguration& config,
                      std::weak_ptr<StreamDelegate> delegate);

  void run(std::optional<PlatformError> (PortalCaptureStream::*step)(const ContentFilter&), const ContentFilter& filter,
           ErrorCompletion done);
  // On queue_.
  std::optional<PlatformError> start(const ContentFilter& filter);
  std::optional<PlatformError> stop(const ContentFilter& filter);
  std::optional<PlatformError> switchTo(const ContentFilter& filter);
  Result<std::unique_ptr<Capture>> open(const ContentFilter& filter);
  void end(uint64_t generation, int64_t code, const std::string& why);

  Executor& executor_;
  std::shared_ptr<Queue> events_;
  std::shared_ptr<Queue> queue_;
  std::shared_ptr<DesktopPortal> portal_;
  const StreamConfiguration config_;
  std::weak_ptr<StreamDelegate> delegate_;

  // Where pictures go. The PipeWire thread reaches it without the stream, so that the
  // stream's last reference is never dropped there (its teardown stops that thread).
  std::shared_ptr<Outlet> outlet_;
  mutable std::mutex mutex_;  // guards token_
  std::optional<std::string> token_;

  // Owned by queue_.
  ContentFilter filter_;
  bool started_ = false;
  uint64_t generation_ = 0;  // of the capture in current_: events of replaced ones are stale
  std::unique_ptr<Capture> current_;
};

}  // namespace qb::portal
