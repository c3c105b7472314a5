#include "platform/linux/portal/PortalCaptureStream.hpp"

#include "platform/linux/pipewire/PipeWireVideoStream.hpp"
#include "platform/linux/portal/DesktopPortal.hpp"
#include "platform/linux/portal/PortalDecisions.hpp"
#include "runtime/Executor.hpp"

namespace qb::portal {

namespace {

PlatformError streamError(int64_t code, const std::string& description) {
  return PlatformError{code, kErrorDomain, description};
}

double intervalOf(const StreamConfiguration& c) {
  if (c.minimumFrameIntervalValue > 0 && c.minimumFrameIntervalTimescale > 0)
    return double(c.minimumFrameIntervalValue) / c.minimumFrameIntervalTimescale;
  return 0;
}

}  // namespace

struct PortalCaptureStream::Outlet : std::enable_shared_from_this<Outlet> {
  std::mutex mutex;  // guards the fields below
  std::weak_ptr<StreamOutput> output;
  std::shared_ptr<Queue> queue;

  void deliver(const std::weak_ptr<PortalCaptureStream>& stream, const VideoFrame& frame) {
    std::weak_ptr<StreamOutput> o;
    std::shared_ptr<Queue> q;
    {
      std::lock_guard lock(mutex);
      o = output;
      q = queue;
    }
    if (!q) return;
    q->async([outlet = shared_from_this(), stream, o, frame] {
      {
        std::lock_guard lock(outlet->mutex);  // removed while this waited: dropped
        if (!outlet->queue || outlet->output.owner_before(o) || o.owner_before(outlet->output)) return;
      }
      auto self = stream.lock();
      auto out = o.lock();
      if (self && out) out->streamDidOutputVideo(*self, frame);
    });
  }
};

// One granted session and its video; the video goes first, then the session is closed.
struct PortalCaptureStream::Capture {
  std::unique_ptr<DesktopPortal::Session> session;
  std::unique_ptr<pipewire::PipeWireVideoStream> video;
  ~Capture() {
    video.reset();
    session.reset();
  }
};

std::shared_ptr<PortalCaptureStream> PortalCaptureStream::create(Executor& executor, std::shared_ptr<Queue> events,
                                                                 std::shared_ptr<DesktopPortal> portal,
                                                                 const ContentFilter& filter,
                                                                 const StreamConfiguration& config,
                                                                 std::weak_ptr<StreamDelegate> delegate) {
  return std::shared_ptr<PortalCaptureStream>(
      new PortalCaptureStream(executor, std::move(events), std::move(portal), filter, config, std::move(delegate)));
}

PortalCaptureStream::PortalCaptureStream(Executor& executor, std::shared_ptr<Queue> events,
                                         std::shared_ptr<DesktopPortal> portal, const ContentFilter& filter,
                                         const StreamConfiguration& config, std::weak_ptr<StreamDelegate> delegate)
    : executor_(executor),
      events_(std::move(events)),
      queue_(executor.makeQueue("portal.stream")),
      portal_(std::move(portal)),
      config_(config),
      delegate_(std::move(delegate)),
      outlet_(std::make_shared<Outlet>()),
      filter_(filter) {}

// Tasks hold the stream weakly, so nothing else uses current_ now; its destructor stops the
// PipeWire thread (never this one: pictures and ends only hold the stream weakly too).
PortalCaptureStream::~PortalCaptureStream() = default;

std::optional<PlatformError> PortalCaptureStream::addStreamOutput(std::weak_ptr<StreamOutput> output,
                                                                  StreamOutputType type, std::shared_ptr<Queue> queue) {
  if (type == StreamOutputType::audio)
    return streamError(StreamErrorCode::kFailed, "This stream carries no audio: it was made without capturesAudio");
  if (!queue) return streamError(StreamErrorCode::kFailed, "A screen output needs a queue");
  std::lock_guard lock(outlet_->mutex);
  outlet_->output = std::move(output);
  outlet_->queue = std::move(queue);
  return std::nullopt;
}

std::optional<PlatformError> PortalCaptureStream::removeStreamOutput(StreamOutputType type) {
  if (type == StreamOutputType::audio) return streamError(StreamErrorCode::kFailed, "This stream has no audio output");
  std::lock_guard lock(outlet_->mutex);
  if (!outlet_->queue) return streamError(StreamErrorCode::kFailed, "The stream has no screen output");
  outlet_->output.reset();
  outlet_->queue.reset();
  return std::nullopt;
}

std::optional<std::string> PortalCaptureStream::restoreToken() const {
  std::lock_guard lock(mutex_);
  return token_;
}

void PortalCaptureStream::run(std::optional<PlatformError> (PortalCaptureStream::*step)(const ContentFilter&),
                              const ContentFilter& filter, ErrorCompletion done) {
  queue_->async([weak = weak_from_this(), &executor = executor_, step, filter, done = std::move(done)]() mutable {
    auto self = weak.lock();
    std::optional<PlatformError> result =
        self ? ((*self).*step)(filter) : streamError(StreamErrorCode::kFailed, "The stream is gone");
    executor.runAsync([done = std::move(done), result] { done(result); });
  });
}

void PortalCaptureStream::startCapture(ErrorCompletion done) { run(&PortalCaptureStream::start, {}, std::move(done)); }
void PortalCaptureStream::stopCapture(ErrorCompletion done) { run(&PortalCaptureStream::stop, {}, std::move(done)); }
void PortalCaptureStream::updateContentFilter(const ContentFilter& filter, ErrorCompletion done) {
  run(&PortalCaptureStream::switchTo, filter, std::move(done));
}

// ---- On the stream's queue ------------------------------------------------------------

Result<std::unique_ptr<PortalCaptureStream::Capture>> PortalCaptureStream::open(const ContentFilter& filter) {
  DesktopPortal::CastRequest request;
  request.sourceType = filter.kind == ContentFilter::Kind::window ? kSourceWindow : kSourceMonitor;
  const auto& caps = portal_->capabilities();
  if (caps.sourceTypes != 0 && !(caps.sourceTypes & request.sourceType))
    return streamError(StreamErrorCode::kFailed, filter.kind == ContentFilter::Kind::window
                                                     ? "This desktop's portal cannot share a window"
                                                     : "This desktop's portal cannot share a monitor");
  request.cursorMode = chooseCursorMode(caps.cursorModes, config_.showsCursor);
  request.restoreToken = filter.restoreToken;

  const uint64_t generation = generation_ + 1;
  std::weak_ptr<PortalCaptureStream> weak = weak_from_this();
  auto granted = portal_->startScreenCast(
      request,
      [weak, queue = queue_, generation] {
        queue->async([weak, generation] {
          if (auto self = weak.lock())
            self->end(generation, StreamErrorCode::kUserStopped, "The desktop ended the screen-sharing session");
        });
      },
      kChooserTimeout);
  if (auto* error = std::get_if<PlatformError>(&granted)) return *error;
  auto& cast = std::get<DesktopPortal::Cast>(granted);

  pipewire::PipeWireVideoStream::Config video;
  video.width = config_.width;
  video.height = config_.height;
  video.pixelFormat = config_.pixelFormat;
  video.minimumInterval = intervalOf(config_);
  pipewire::PipeWireVideoStream::Handler handler;
  handler.picture = [weak, outlet = outlet_](const VideoFrame& frame) { outlet->deliver(weak, frame); };
  handler.ended = [weak, queue = queue_, generation](int64_t code, const std::string& why) {
    auto end = [weak, generation, code, why] {
      if (auto self = weak.lock()) self->end(generation, code, why);
    };
    if (code == StreamErrorCode::kDisplayUnavailable)
      (void)queue->asyncAfter(kNodeGoneGrace, end);
    else
      queue->async(end);
  };
  std::string why;
  auto stream = pipewire::PipeWireVideoStream::open(std::move(cast.pipewire), cast.nodeId, video, std::move(handler),
                                                    executor_.clock(), kStreamStartTimeout, &why);
  if (!stream) return streamError(StreamErrorCode::kDisplayUnavailable, why);
  auto capture = std::make_unique<Capture>();
  capture->session = std::move(cast.session);
  capture->video = std::move(stream);
  {
    std::lock_guard lock(mutex_);
    token_ = cast.restoreToken.empty() ? std::nullopt : std::optional<std::string>(cast.restoreToken);
  }
  return capture;
}

std::optional<PlatformError> PortalCaptureStream::start(const ContentFilter&) {
  if (started_) return streamError(StreamErrorCode::kFailed, "The stream is already capturing");
  auto opened = open(filter_);
  if (auto* error = std::get_if<PlatformError>(&opened)) return *error;
  current_ = std::move(std::get<std::unique_ptr<Capture>>(opened));
  ++generation_;
  started_ = true;
  return std::nullopt;
}

std::optional<PlatformError> PortalCaptureStream::stop(const ContentFilter&) {
  if (!current_) return streamError(StreamErrorCode::kFailed, "The stream is not capturing");
  current_.reset();
  return std::nullopt;
}

std::optional<PlatformError> PortalCaptureStream::switchTo(const ContentFilter& filter) {
  if (!current_) {
    filter_ = filter;
    return std::nullopt;
  }
  // The new session streams before the old one goes, so a failed switch keeps the old one.
  auto opened = open(filter);
  if (auto* error = std::get_if<PlatformError>(&opened)) return *error;
  current_ = std::move(std::get<std::unique_ptr<Capture>>(opened));
  ++generation_;
  filter_ = filter;
  return std::nullopt;
}

void PortalCaptureStream::end(uint64_t generation, int64_t code, const std::string& why) {
  if (generation != generation_ || !current_) return;  // a replaced or stopped capture
  current_.reset();
  events_->async([weak = weak_from_this(), delegate = delegate_, error = streamError(code, why)] {
    auto self = weak.lock();
    auto d = delegate.lock();
    if (self && d) d->streamDidStop(*self, error);
  });
}

}  // namespace qb::portal
