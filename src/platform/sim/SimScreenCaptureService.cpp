#include "platform/sim/SimScreenCaptureService.hpp"

#include <algorithm>

#include "platform/sim/SimCaptureStream.hpp"

namespace qb {

SimScreenCaptureService::SimScreenCaptureService(Executor& executor)
    : executor_(executor), queue_(executor.makeQueue("sim.screen")) {}

// --- Content ---------------------------------------------------------------------

void SimScreenCaptureService::setPermissionGranted(bool granted) {
  std::lock_guard lock(mutex_);
  permission_ = granted;
}

void SimScreenCaptureService::setDisplays(std::vector<DisplayInfo> displays) {
  std::lock_guard lock(mutex_);
  displays_ = std::move(displays);
}

void SimScreenCaptureService::addDisplay(const DisplayInfo& display) {
  std::lock_guard lock(mutex_);
  displays_.push_back(display);
}

void SimScreenCaptureService::removeDisplay(uint32_t displayID, bool stopStreams) {
  {
    std::lock_guard lock(mutex_);
    std::erase_if(displays_, [&](auto& d) { return d.displayID == displayID; });
  }
  if (stopStreams) stopStreamsShowing(ContentFilter::forDisplay(displayID), "The display is no longer available");
}

void SimScreenCaptureService::setWindows(std::vector<WindowInfo> windows) {
  std::lock_guard lock(mutex_);
  windows_ = std::move(windows);
}

void SimScreenCaptureService::addWindow(const WindowInfo& window) {
  std::lock_guard lock(mutex_);
  windows_.push_back(window);
}

void SimScreenCaptureService::removeWindow(uint32_t windowID, bool stopStreams) {
  {
    std::lock_guard lock(mutex_);
    std::erase_if(windows_, [&](auto& w) { return w.windowID == windowID; });
  }
  if (stopStreams) stopStreamsShowing(ContentFilter::forWindow(windowID), "The window is no longer available");
}

void SimScreenCaptureService::setWindowMapped(uint32_t windowID, bool mapped) {
  {
    std::lock_guard lock(mutex_);
    for (auto& w : windows_)
      if (w.windowID == windowID) w.isOnScreen = mapped;
  }
  if (mapped) notifyStreams([windowID](SimCaptureStream& s) { return s.shows(ContentFilter::forWindow(windowID)); });
}

void SimScreenCaptureService::resizeWindow(uint32_t windowID, double width, double height) {
  {
    std::lock_guard lock(mutex_);
    for (auto& w : windows_)
      if (w.windowID == windowID) {
        w.frame.width = width;
        w.frame.height = height;
      }
  }
  notifyStreams([windowID](SimCaptureStream& s) { return s.shows(ContentFilter::forWindow(windowID)); });
}

void SimScreenCaptureService::setContentMoving(bool moving) {
  {
    std::lock_guard lock(mutex_);
    moving_ = moving;
  }
  if (moving) notifyStreams([](SimCaptureStream&) { return true; });
}

void SimScreenCaptureService::paint(const ContentFilter& target, uint32_t colour) {
  {
    std::lock_guard lock(mutex_);
    colours_[{static_cast<int>(target.kind),
              target.kind == ContentFilter::Kind::display ? target.displayID : target.windowID}] = colour;
  }
  notifyStreams([target](SimCaptureStream& s) { return s.shows(target); });
}

uint32_t SimScreenCaptureService::colourOf(const ContentFilter& target) const {
  const uint32_t id = target.kind == ContentFilter::Kind::display ? target.displayID : target.windowID;
  std::lock_guard lock(mutex_);
  auto it = colours_.find({static_cast<int>(target.kind), id});
  if (it != colours_.end()) return it->second;
  // Opaque, never black, different for neighbouring ids and for displays and windows.
  const uint32_t h = (id + (target.kind == ContentFilter::Kind::window ? 7u : 0u)) * 2654435761u;
  return 0xFF000000u | ((h >> 8) & 0x7F7F7F) | 0x404040;
}

void SimScreenCaptureService::moveCursor() {
  notifyStreams([](SimCaptureStream& s) { return s.configuration().showsCursor; });
}

void SimScreenCaptureService::notifyStreams(const std::function<bool(SimCaptureStream&)>& affected) {
  for (auto& s : liveStreams())
    if (affected(*s)) s->contentChanged();
}

void SimScreenCaptureService::stopStreamsShowing(const ContentFilter& gone, const std::string& message) {
  for (auto& s : liveStreams()) {
    const auto f = s->filter();
    const bool shows = f.kind == gone.kind && (gone.kind == ContentFilter::Kind::display ? f.displayID == gone.displayID
                                                                                         : f.windowID == gone.windowID);
    if (s->isCapturing() && shows) s->stopWithError(StreamErrorCode::kDisplayUnavailable, message);
  }
}

void SimScreenCaptureService::loseDisplayServer() {
  for (auto& s : liveStreams())
    if (s->isCapturing() && !s->configuration().capturesAudio)
      s->stopWithError(StreamErrorCode::kConnectionLost, "The connection to the display server was lost");
}

// --- Faults and timing -------------------------------------------------------------

void SimScreenCaptureService::failNext(SimScreenOp op, const PlatformError& error, int times) {
  if (times == 0) return;
  std::lock_guard lock(mutex_);
  failures_[op].push_back({error, times});
}

void SimScreenCaptureService::clearFailures() {
  std::lock_guard lock(mutex_);
  failures_.clear();
}

void SimScreenCaptureService::setDelay(SimScreenOp op, double seconds) {
  std::lock_guard lock(mutex_);
  delays_[op] = seconds;
}

void SimScreenCaptureService::setAudioStalled(bool stalled) {
  std::lock_guard lock(mutex_);
  audioStalled_ = stalled;
}

void SimScreenCaptureService::setSystemAudioTone(double frequency, double amplitude) {
  std::lock_guard lock(mutex_);
  toneFrequency_ = frequency;
  toneAmplitude_ = amplitude;
}

void SimScreenCaptureService::setImage(std::optional<Image> image) {
  std::lock_guard lock(mutex_);
  image_ = std::move(image);
}

std::optional<PlatformError> SimScreenCaptureService::takeFailure(SimScreenOp op) {
  std::lock_guard lock(mutex_);
  auto it = failures_.find(op);
  if (it == failures_.end() || it->second.empty()) return std::nullopt;
  Failure& f = it->second.front();
  PlatformError error = f.error;
  if (f.remaining > 0 && --f.remaining == 0) it->second.erase(it->second.begin());
  return error;
}

double SimScreenCaptureService::delayFor(SimScreenOp op) const {
  std::lock_guard lock(mutex_);
  auto it = delays_.find(op);
  return it == delays_.end() ? 0 : it->second;
}

bool SimScreenCaptureService::targetExists(const ContentFilter& filter) const {
  std::lock_guard lock(mutex_);
  if (filter.kind == ContentFilter::Kind::display)
    return std::any_of(displays_.begin(), displays_.end(), [&](auto& d) { return d.displayID == filter.displayID; });
  return std::any_of(windows_.begin(), windows_.end(), [&](auto& w) { return w.windowID == filter.windowID; });
}

std::optional<SimScreenCaptureService::TargetState> SimScreenCaptureService::targetState(
    const ContentFilter& filter) const {
  const uint32_t colour = colourOf(filter);
  std::lock_guard lock(mutex_);
  if (filter.kind == ContentFilter::Kind::display) {
    for (auto& d : displays_)
      if (d.displayID == filter.displayID) return TargetState{double(d.width), double(d.height), true, colour};
  } else {
    for (auto& w : windows_)
      if (w.windowID == filter.windowID) return TargetState{w.frame.width, w.frame.height, w.isOnScreen, colour};
  }
  return std::nullopt;
}

bool SimScreenCaptureService::contentMoving() const {
  std::lock_guard lock(mutex_);
  return moving_;
}

bool SimScreenCaptureService::audioStalled() const {
  std::lock_guard lock(mutex_);
  return audioStalled_;
}

std::pair<double, double> SimScreenCaptureService::systemAudioTone() const {
  std::lock_guard lock(mutex_);
  return {toneFrequency_, toneAmplitude_};
}

void SimScreenCaptureService::count(const std::function<void(Counters&)>& change) {
  std::lock_guard lock(mutex_);
  change(counters_);
}

// --- Streams -------------------------------------------------------------------------

std::vector<std::shared_ptr<SimCaptureStream>> SimScreenCaptureService::liveStreams() const {
  std::vector<std::shared_ptr<SimCaptureStream>> out;
  std::lock_guard lock(mutex_);
  for (auto& w : streams_)
    if (auto s = w.lock()) out.push_back(std::move(s));
  return out;
}

std::shared_ptr<SimCaptureStream> SimScreenCaptureService::latestStream() const {
  auto live = liveStreams();
  return live.empty() ? nullptr : live.back();
}

void SimScreenCaptureService::stopCapturingStreamsWithError(int64_t code, const std::string& description) {
  for (auto& s : liveStreams())
    if (s->isCapturing()) s->stopWithError(code, description);
}

SimScreenCaptureService::Counters SimScreenCaptureService::counters() const {
  std::lock_guard lock(mutex_);
  return counters_;
}

std::vector<SimScreenCaptureService::ShareableQuery> SimScreenCaptureService::shareableQueries() const {
  std::lock_guard lock(mutex_);
  return queries_;
}

PlatformError SimScreenCaptureService::makeError(int64_t code, const std::string& description) {
  return PlatformError{code, kErrorDomain, description};
}

// --- ScreenCaptureService ------------------------------------------------------------

bool SimScreenCaptureService::requestPermission() {
  std::lock_guard lock(mutex_);
  ++counters_.permissionRequests;
  return permission_;
}

void SimScreenCaptureService::shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                               std::function<void(Result<ShareableContent>)> done) {
  {
    std::lock_guard lock(mutex_);
    ++counters_.shareableContentQueries;
    queries_.push_back({excludingDesktopWindows, onScreenWindowsOnly});
  }
  auto failure = takeFailure(SimScreenOp::shareableContent);
  std::weak_ptr<SimScreenCaptureService> weak = weak_from_this();
  queue_->asyncAfter(delayFor(SimScreenOp::shareableContent),
                     [weak, failure, onScreenWindowsOnly, done = std::move(done)] {
                       if (failure) return done(*failure);
                       auto self = weak.lock();
                       if (!self) return done(makeError(StreamErrorCode::kFailed, "The capture service is gone"));
                       ShareableContent content;
                       {
                         std::lock_guard lock(self->mutex_);
                         content.displays = self->displays_;
                         for (auto& w : self->windows_)
                           if (!onScreenWindowsOnly || w.isOnScreen) content.windows.push_back(w);
                       }
                       done(std::move(content));
                     });
}

std::shared_ptr<CaptureStream> SimScreenCaptureService::makeStream(const ContentFilter& filter,
                                                                   const StreamConfiguration& config,
                                                                   std::weak_ptr<StreamDelegate> delegate) {
  std::lock_guard lock(mutex_);
  int serial = ++counters_.streamsCreated;
  auto stream = std::make_shared<SimCaptureStream>(weak_from_this(), executor_, queue_, serial, filter, config,
                                                   std::move(delegate));
  std::erase_if(streams_, [](auto& w) { return w.expired(); });
  streams_.push_back(stream);
  return stream;
}

void SimScreenCaptureService::captureImage(const ContentFilter& filter, const StreamConfiguration& config,
                                           std::function<void(Result<Image>)> done) {
  auto failure = takeFailure(SimScreenOp::captureImage);
  std::weak_ptr<SimScreenCaptureService> weak = weak_from_this();
  queue_->asyncAfter(delayFor(SimScreenOp::captureImage), [weak, failure, filter, config, done = std::move(done)] {
    if (failure) return done(*failure);
    auto self = weak.lock();
    if (!self) return done(makeError(StreamErrorCode::kFailed, "The capture service is gone"));
    if (!self->targetExists(filter))
      return done(makeError(StreamErrorCode::kDisplayUnavailable, "The capture target is not available"));
    Image image;
    {
      std::lock_guard lock(self->mutex_);
      ++self->counters_.imagesCaptured;
      if (self->image_) image = *self->image_;
    }
    if (image.bgra.empty()) {
      image.width = std::max(config.width, 1);
      image.height = std::max(config.height, 1);
      image.stride = image.width * 4;
      image.bgra.resize(static_cast<size_t>(image.stride) * static_cast<size_t>(image.height));
      for (size_t i = 0; i < image.bgra.size(); i += 4) {
        image.bgra[i] = 0x20;
        image.bgra[i + 1] = 0x40;
        image.bgra[i + 2] = 0x60;
        image.bgra[i + 3] = 0xFF;
      }
    }
    done(std::move(image));
  });
}

}  // namespace qb
