#include "platform/linux/x11/X11CaptureStream.hpp"

#include <cstring>

#include "platform/linux/x11/X11CaptureTarget.hpp"
#include "platform/linux/x11/X11Connection.hpp"
#include "platform/linux/x11/X11Grabber.hpp"
#include "runtime/Executor.hpp"

namespace qb {

using x11::X11CaptureTarget;

namespace {

// Pointer queries and picture pacing without a configured interval.
constexpr double kDefaultInterval = 1.0 / 60;
// Monitors added and removed through RandR 1.5 alone raise no event: look again this often.
constexpr double kMonitorRecheck = 0.5;
// A pointer moved by a warp (as some tools and applications move it) raises no raw motion:
// with motion events the stream still looks this often.
constexpr double kWarpRecheck = 0.25;
constexpr int kPictures = 2;

PlatformError streamError(int64_t code, const std::string& description) {
  return PlatformError{code, X11CaptureStream::kErrorDomain, description};
}

double intervalOf(const StreamConfiguration& c) {
  if (c.minimumFrameIntervalValue > 0 && c.minimumFrameIntervalTimescale > 0)
    return double(c.minimumFrameIntervalValue) / c.minimumFrameIntervalTimescale;
  return 0;
}

}  // namespace

std::shared_ptr<X11CaptureStream> X11CaptureStream::create(Executor& executor, std::shared_ptr<Queue> events,
                                                           const ContentFilter& filter,
                                                           const StreamConfiguration& config,
                                                           std::weak_ptr<StreamDelegate> delegate, Options options) {
  return std::shared_ptr<X11CaptureStream>(
      new X11CaptureStream(executor, std::move(events), filter, config, std::move(delegate), std::move(options)));
}

X11CaptureStream::X11CaptureStream(Executor& executor, std::shared_ptr<Queue> events, const ContentFilter& filter,
                                   const StreamConfiguration& config, std::weak_ptr<StreamDelegate> delegate,
                                   Options options)
    : executor_(executor),
      events_(std::move(events)),
      queue_(executor.makeQueue("x11.stream")),
      config_(config),
      delegate_(std::move(delegate)),
      options_(std::move(options)),
      filter_(filter),
      pacer_(intervalOf(config)) {}

X11CaptureStream::~X11CaptureStream() {
  // Tasks hold only weak references, so nothing else runs on the queue for us now.
  pictureTimer_.cancel();
  pointerTimer_.cancel();
  warpTimer_.cancel();
  monitorTimer_.cancel();
  target_.reset();
  connection_.reset();
}

std::optional<PlatformError> X11CaptureStream::addStreamOutput(std::weak_ptr<StreamOutput> output,
                                                               StreamOutputType type, std::shared_ptr<Queue> queue) {
  if (type == StreamOutputType::audio)
    return streamError(StreamErrorCode::kFailed, "This stream carries no audio: it was made without capturesAudio");
  if (!queue) return streamError(StreamErrorCode::kFailed, "A screen output needs a queue");
  std::lock_guard lock(mutex_);
  output_ = std::move(output);
  outputQueue_ = std::move(queue);
  return std::nullopt;
}

std::optional<PlatformError> X11CaptureStream::removeStreamOutput(StreamOutputType type) {
  if (type == StreamOutputType::audio) return streamError(StreamErrorCode::kFailed, "This stream has no audio output");
  std::lock_guard lock(mutex_);
  if (!outputQueue_) return streamError(StreamErrorCode::kFailed, "The stream has no screen output");
  output_.reset();
  outputQueue_.reset();
  return std::nullopt;
}

void X11CaptureStream::startCapture(ErrorCompletion done) {
  queue_->async([weak = weak_from_this(), &executor = executor_, done = std::move(done)]() mutable {
    auto self = weak.lock();
    std::optional<PlatformError> result =
        self ? self->start() : streamError(StreamErrorCode::kFailed, "The stream is gone");
    executor.runAsync([done = std::move(done), result] { done(result); });
  });
}

void X11CaptureStream::stopCapture(ErrorCompletion done) {
  queue_->async([weak = weak_from_this(), &executor = executor_, done = std::move(done)]() mutable {
    auto self = weak.lock();
    std::optional<PlatformError> result =
        self ? self->stop() : streamError(StreamErrorCode::kFailed, "The stream is gone");
    executor.runAsync([done = std::move(done), result] { done(result); });
  });
}

void X11CaptureStream::updateContentFilter(const ContentFilter& filter, ErrorCompletion done) {
  queue_->async([weak = weak_from_this(), &executor = executor_, filter, done = std::move(done)]() mutable {
    auto self = weak.lock();
    std::optional<PlatformError> result =
        self ? self->switchTo(filter) : streamError(StreamErrorCode::kFailed, "The stream is gone");
    executor.runAsync([done = std::move(done), result] { done(result); });
  });
}

X11CaptureStream::Stats X11CaptureStream::stats() const {
  std::lock_guard lock(mutex_);
  Stats s = stats_;
  s.pointerMotions = motion_->seen;
  return s;
}

// ---- On the stream's queue ------------------------------------------------------------

std::optional<PlatformError> X11CaptureStream::start() {
  if (capturing_) return streamError(StreamErrorCode::kFailed, "The stream is already capturing");
  std::string why;
  auto connection = x11::X11Connection::open(options_.displayName, &why, options_.extensionsToHide);
  if (!connection) return streamError(StreamErrorCode::kConnectionLost, "The X server is not reachable: " + why);
  if (!x11::X11Grabber::supportsFormat(*connection, &why)) return streamError(StreamErrorCode::kFailed, why);
  connection_ = connection;
  // Events are handed to the queue: the event thread never waits for a grab.
  motion_->queued = false;
  std::weak_ptr<X11CaptureStream> weak = weak_from_this();
  subscription_ = connection->subscribe(
      [weak, queue = queue_, x = connection.get(), motion = motion_](const xcb_generic_event_t& e) {
        if (x->isRawPointerMotion(e)) {
          // A fast mouse sends hundreds a second: one call on the queue stands for all of them.
          ++motion->seen;
          if (!motion->queued.exchange(true))
            queue->async([weak] {
              if (auto self = weak.lock()) self->followPointer();
            });
          return;
        }
        std::vector<uint8_t> copy(sizeof(xcb_generic_event_t));
        std::memcpy(copy.data(), &e, copy.size());
        queue->async([weak, copy = std::move(copy)] {
          if (auto self = weak.lock()) self->onEvent(copy);
        });
      },
      [weak, queue = queue_] {
        queue->async([weak] {
          if (auto self = weak.lock())
            self->end(StreamErrorCode::kConnectionLost, "The connection to the display server was lost");
        });
      });
  std::optional<PlatformError> error;
  target_ = X11CaptureTarget::open(connection, filter_, config_.showsCursor, &error);
  if (!target_) {
    tearDown();
    return error;
  }
  // Two pictures: the encoder reads one while the next is filled. More would only queue stale
  // pictures behind a busy encoder, at 3 MB each at 1080p; with none free the stream skips.
  if (!converter_)
    converter_ =
        std::make_unique<encode::PictureConverter>(config_.width, config_.height, config_.pixelFormat, kPictures);
  converter_->invalidate();
  capturing_ = true;
  forceNext_ = true;
  pacer_.start();
  const bool pointerEvents = config_.showsCursor && connection->selectRawPointerMotion();
  {
    std::lock_guard lock(mutex_);
    stats_.sharedMemory = target_->usesSharedMemory();
    stats_.composite = target_->usesComposite();
    stats_.pointerEvents = pointerEvents;
  }
  // Where the pointer is now: the first picture shows it there, so only later motion counts.
  if (config_.showsCursor) pointer_ = target_->pointer();
  if (config_.showsCursor && !pointerEvents)
    pointerTimer_ = scheduleRepeating(queue_, pointerInterval(), pointerInterval(), [weak] {
      if (auto self = weak.lock()) self->queryPointer();
    });
  if (config_.showsCursor && pointerEvents)
    warpTimer_ = scheduleRepeating(queue_, kWarpRecheck, kWarpRecheck, [weak] {
      if (auto self = weak.lock()) self->recheckPointer();
    });
  watchMonitor();
  schedulePicture();
  return std::nullopt;
}

std::optional<PlatformError> X11CaptureStream::stop() {
  if (!capturing_) return streamError(StreamErrorCode::kFailed, "The stream is not capturing");
  tearDown();
  return std::nullopt;
}

void X11CaptureStream::tearDown() {
  capturing_ = false;
  pacer_.clear();
  pictureTimer_.cancel();
  pointerTimer_.cancel();
  warpTimer_.cancel();
  monitorTimer_.cancel();
  pointer_.reset();
  target_.reset();  // gives back the damage, pixmap, redirection and segment
  subscription_.reset();
  connection_.reset();  // closing it frees whatever the server still holds for us
}

std::optional<PlatformError> X11CaptureStream::switchTo(const ContentFilter& filter) {
  if (!capturing_) {
    filter_ = filter;
    return std::nullopt;
  }
  // The new target is set up before the old one goes, so a failed switch keeps the old one.
  std::optional<PlatformError> error;
  auto next = X11CaptureTarget::open(connection_, filter, config_.showsCursor, &error);
  if (!next) return error;
  target_ = std::move(next);
  filter_ = filter;
  watchMonitor();
  {
    std::lock_guard lock(mutex_);
    stats_.composite = target_->usesComposite();
  }
  pointer_ = config_.showsCursor ? target_->pointer() : std::nullopt;
  converter_->invalidate();
  forceNext_ = true;
  if (target_->capturable())
    pacer_.changed();
  else
    pacer_.clear();
  schedulePicture();
  return std::nullopt;
}

void X11CaptureStream::watchMonitor() {
  monitorTimer_.cancel();
  if (target_->isWindow()) return;
  monitorTimer_ = scheduleRepeating(queue_, kMonitorRecheck, kMonitorRecheck, [weak = weak_from_this()] {
    if (auto self = weak.lock(); self && self->target_) self->apply(self->target_->recheckMonitor());
  });
}

void X11CaptureStream::onEvent(const std::vector<uint8_t>& bytes) {
  if (!capturing_ || !target_) return;
  xcb_generic_event_t e;
  std::memcpy(&e, bytes.data(), sizeof e);
  apply(target_->handle(e));
}

void X11CaptureStream::apply(X11CaptureTarget::Change change) {
  if (!capturing_) return;
  switch (change) {
    case X11CaptureTarget::Change::none:
      return;
    case X11CaptureTarget::Change::content:
      pacer_.changed();
      break;
    case X11CaptureTarget::Change::cursor:
      forceNext_ = true;
      pacer_.changed();
      break;
    case X11CaptureTarget::Change::geometry:
    case X11CaptureTarget::Change::mapped:
      converter_->invalidate();
      forceNext_ = true;
      pacer_.changed();
      break;
    case X11CaptureTarget::Change::pointer:
      return followPointer();
    case X11CaptureTarget::Change::unmapped:
      pacer_.clear();
      return;
    case X11CaptureTarget::Change::gone:
      return end(StreamErrorCode::kDisplayUnavailable, target_->goneMessage());
  }
  schedulePicture();
}

double X11CaptureStream::pointerInterval() const {
  return pacer_.interval() > 0 ? pacer_.interval() : kDefaultInterval;
}

// Motion stays queued until the query that answers it, so a fast mouse neither queues a call
// per event nor asks more than once an interval.
void X11CaptureStream::followPointer() {
  if (!capturing_ || !config_.showsCursor) return;
  if (pointerTimer_.valid() && !pointerTimer_.isCancelled()) return;  // the poll, or a query already due
  const double now = executor_.clock().uptime();
  const double next = lastPointerQuery_ + pointerInterval();
  if (now >= next) return queryPointer();
  pointerTimer_ = queue_->asyncAfter(next - now, [weak = weak_from_this()] {
    if (auto self = weak.lock()) {
      self->pointerTimer_ = TaskHandle{};
      self->queryPointer();
    }
  });
}

// Motion being followed already gets its look; a recheck does not delay the next one.
void X11CaptureStream::recheckPointer() {
  if (motion_->queued || (pointerTimer_.valid() && !pointerTimer_.isCancelled())) return;
  queryPointer(true);
}

void X11CaptureStream::queryPointer(bool recheck) {
  if (!recheck) motion_->queued = false;  // motion from now on needs another look
  if (!capturing_ || !target_ || !target_->capturable()) return;
  if (!recheck) lastPointerQuery_ = executor_.clock().uptime();
  {
    std::lock_guard lock(mutex_);
    ++(recheck ? stats_.pointerRechecks : stats_.pointerQueries);
  }
  auto at = target_->pointer();
  if (at == pointer_) return;
  const bool seen = target_->pointerNear(at) || target_->pointerNear(pointer_);
  pointer_ = at;
  if (!seen) return;
  forceNext_ = true;  // the picture changes even where no pixel of the content did
  pacer_.changed();
  schedulePicture();
}

void X11CaptureStream::schedulePicture() {
  auto due = pacer_.due();
  if (!capturing_ || !due) return;
  {
    std::lock_guard lock(mutex_);
    if (!outputQueue_) return;
  }
  const double now = executor_.clock().uptime();
  const double at = std::max(*due, now);
  if (pictureTimer_.valid() && !pictureTimer_.isCancelled() && pictureDue_ <= at) return;
  pictureTimer_.cancel();
  pictureDue_ = at;
  pictureTimer_ = queue_->asyncAfter(at - now, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->takePicture();
  });
}

void X11CaptureStream::takePicture() {
  pictureTimer_ = TaskHandle{};
  if (!capturing_ || !target_) return;
  if (!target_->capturable()) return pacer_.clear();
  const double now = executor_.clock().uptime();
  if (!pacer_.isDue(now)) return schedulePicture();
  if (!converter_->hasFreePicture()) {
    {
      std::lock_guard lock(mutex_);
      ++stats_.skipped;
    }
    pacer_.skipped(now);
    return schedulePicture();
  }
  std::string why;
  const x11::BgraView pixels = target_->grab(damage_, &why);
  if (!pixels.pixels) {
    // The target went away under the grab (its notify follows) or is off the screen.
    pacer_.skipped(now);
    return schedulePicture();
  }
  if (damage_.empty() && !forceNext_ && target_->tracksDamage()) {
    // The damage lay outside what this stream shows (another monitor).
    pacer_.clear();
    return;
  }
  auto frame = converter_->convert(pixels, damage_, target_->cursor(), now);
  if (!frame) {
    pacer_.skipped(now);
    return schedulePicture();
  }
  forceNext_ = false;
  pacer_.taken(now);
  if (!target_->tracksDamage()) pacer_.changed();  // without DAMAGE every interval may hold a change
  deliver(*frame);
  schedulePicture();
}

bool X11CaptureStream::isOutput(const std::weak_ptr<StreamOutput>& output) const {
  std::lock_guard lock(mutex_);
  return outputQueue_ && !output_.owner_before(output) && !output.owner_before(output_);
}

void X11CaptureStream::deliver(const VideoFrame& frame) {
  std::weak_ptr<StreamOutput> output;
  std::shared_ptr<Queue> queue;
  {
    std::lock_guard lock(mutex_);
    output = output_;
    queue = outputQueue_;
    ++stats_.pictures;
  }
  if (!queue) return;
  queue->async([weak = weak_from_this(), output, frame] {
    auto self = weak.lock();
    if (!self || !self->isOutput(output)) return;  // removed while this waited
    if (auto o = output.lock()) o->streamDidOutputVideo(*self, frame);
  });
}

void X11CaptureStream::end(int64_t code, const std::string& description) {
  if (!capturing_) return;
  tearDown();
  events_->async([weak = weak_from_this(), delegate = delegate_, error = streamError(code, description)] {
    auto self = weak.lock();
    auto d = delegate.lock();
    if (self && d) d->streamDidStop(*self, error);
  });
}

}  // namespace qb
