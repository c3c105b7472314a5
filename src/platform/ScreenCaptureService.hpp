#pragma once
// Displays, windows, capture streams (screen pictures and system audio), screenshots.
//
// Threads: every method may be called from any thread, including from a completion or
// a callback of this service, and returns without waiting for the machine (asynchronous
// work reports through its completion). Completions and the stopped-with-error callback
// run on the service's own threads, never inside the call that started them; stream
// outputs run as items of the queue given when the output was added. Every completion
// is called exactly once, also when the service or the stream is dropped meanwhile.
//
// Lifetimes: streams hold their outputs and delegate weakly and may outlive the service
// that made them (their calls then fail); a pending completion keeps its stream alive
// until it has run.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/AudioBuffer.hpp"
#include "platform/PlatformError.hpp"

namespace qb {

class Queue;

struct DisplayInfo {
  uint32_t displayID = 0;
  int width = 0;  // points
  int height = 0;
};

struct Rect {
  double x = 0, y = 0, width = 0, height = 0;
};

struct RunningApplication {
  std::string applicationName;
  std::string bundleIdentifier;
  int pid = 0;
};

struct WindowInfo {
  uint32_t windowID = 0;
  std::optional<std::string> title;
  Rect frame;
  std::optional<RunningApplication> owningApplication;
  bool isOnScreen = true;
};

struct ShareableContent {
  std::vector<DisplayInfo> displays;
  std::vector<WindowInfo> windows;
};

// What a stream shows: a whole display, or one window wherever it is. Nothing is ever left
// out of a display, so the filter has no exclusion lists.
//
// Where the user picks the target in the desktop's own dialog (userChoosesTargets), the kind
// says what to offer and `restoreToken`, when not empty, names an earlier choice to take again
// without asking (CaptureStream::restoreToken); services that do not ask ignore it.
struct ContentFilter {
  enum class Kind { display, window };
  Kind kind = Kind::display;
  uint32_t displayID = 0;
  uint32_t windowID = 0;
  std::string restoreToken;
  static ContentFilter forDisplay(uint32_t id) { return {Kind::display, id, 0, {}}; }
  static ContentFilter forWindow(uint32_t id) { return {Kind::window, 0, id, {}}; }
};

constexpr uint32_t fourCC(const char (&s)[5]) {
  return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) | (uint32_t(uint8_t(s[2])) << 8) |
         uint32_t(uint8_t(s[3]));
}
inline constexpr uint32_t kPixelFormat420v = fourCC("420v");
inline constexpr uint32_t kPixelFormatBGRA = fourCC("BGRA");

struct StreamConfiguration {
  int width = 1920;
  int height = 1080;
  int64_t minimumFrameIntervalValue = 0;  // 0/0: as fast as frames come
  int32_t minimumFrameIntervalTimescale = 0;
  uint32_t pixelFormat = kPixelFormatBGRA;
  bool showsCursor = true;
  bool scalesToFit = false;
  bool capturesAudio = false;
  bool excludesCurrentProcessAudio = false;
  int sampleRate = 48000;
  int channelCount = 2;
};

// A captured picture: a cheap-to-copy handle on picture memory lent by the producing
// stream's pool. 'BGRA': one plane, bytes B, G, R, A per pixel, alpha 255. '420v': NV12 in
// video range, the Y plane then the interleaved CbCr plane at half width and half height
// (rounded up); the backend's encoder signals the colour matrix its converter used.
//
// Keeping a picture: copying a VideoFrame copies no pixels; the memory goes back to its pool
// when the last copy is gone. A receiver that needs the picture after its output callback
// returns keeps a copy, on any thread, for as long as it needs the pixels and no longer (the
// encoder: until it has encoded them). Pools are small: while every picture is held, the
// stream skips pictures instead of allocating more. Only the producer writes the planes, and
// only before it hands the frame on; everyone else reads them.
struct VideoFrame {
  int width = 0;
  int height = 0;
  uint32_t pixelFormat = kPixelFormatBGRA;
  uint8_t* planes[2] = {nullptr, nullptr};
  int strides[2] = {0, 0};            // bytes from one row to the next
  double presentationTime = 0;        // seconds on the service's monotonic clock
  std::shared_ptr<const void> owner;  // keeps the planes alive

  // What the producer knows of the change since the picture it made just before, for an
  // encoder that can pass over unchanged areas: outside `changes` (picture pixels) this picture
  // equals the one whose `serial` is `changedSince`. An encoder uses it only when that picture
  // is the last it encoded. Serials are unique in the process; 0 means none, and a
  // `changedSince` of 0 that any pixel may have changed.
  struct Area {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
  };
  static constexpr int kMaxChanges = 18;
  uint64_t serial = 0;
  uint64_t changedSince = 0;
  int changeCount = 0;
  std::array<Area, kMaxChanges> changes{};

  bool empty() const { return planes[0] == nullptr; }
  int planeCount() const { return pixelFormat == kPixelFormat420v ? 2 : 1; }
  int planeHeight(int plane) const { return plane == 0 ? height : (height + 1) / 2; }
  // Bytes of pixels in one row of the plane (the stride may be larger).
  int planeRowBytes(int plane) const {
    if (pixelFormat != kPixelFormat420v) return width * 4;
    return plane == 0 ? width : (width + 1) / 2 * 2;
  }
};

struct Image {
  int width = 0;
  int height = 0;
  int stride = 0;
  std::vector<uint8_t> bgra;
};

enum class StreamOutputType { screen = 0, audio = 1 };

class CaptureStream;

// Receives a stream's buffers. Streams hold their outputs weakly: an output that is gone
// simply receives nothing.
//
// Each call runs as an item of the queue given to addStreamOutput, one at a time, in
// capture order. `stream` is the stream that produced the buffer, so a receiver drops the
// buffers of a stream it replaced by comparing identities. The buffer is valid only for
// the call.
class StreamOutput {
 public:
  virtual ~StreamOutput() = default;
  // Audio: PCM described by buffer.description (float32 on every backend).
  virtual void streamDidOutputAudio(const CaptureStream& stream, const AudioSampleBuffer& buffer) {
    (void)stream;
    (void)buffer;
  }
  // Pictures: only when the content changed, never faster than the minimum interval. The
  // frame is valid during the call; keep a copy to keep the picture (see VideoFrame).
  virtual void streamDidOutputVideo(const CaptureStream& stream, const VideoFrame& frame) {
    (void)stream;
    (void)frame;
  }
};

// Told when a stream stops on its own. Streams hold their delegate weakly.
class StreamDelegate {
 public:
  virtual ~StreamDelegate() = default;
  // On a service thread (never an output queue), at most once per stream, and only for a
  // stop the stream decided itself: never for stopCapture. The code says why
  // (StreamErrorCode: -3805 another client took the capture, -3815 the display or output
  // is gone, others a failure). The stream delivers nothing more and cannot be started
  // again: the receiver builds a new one. The call may arrive after the receiver stopped
  // or replaced the stream (it was already on its way), so it compares `stream` with the
  // stream it holds and ignores a stale one.
  virtual void streamDidStop(const CaptureStream& stream, const PlatformError& error) = 0;
};

using ErrorCompletion = std::function<void(std::optional<PlatformError>)>;

// One capture of one display or window. Dropping the last reference ends the capture
// (no completion or delegate call for that); outputs and the delegate may be gone first.
class CaptureStream {
 public:
  virtual ~CaptureStream() = default;
  // The configuration as the stream applies it, fixed at creation: a value the service
  // cannot honour reads back as what it delivers (the system audio format, for one).
  virtual const StreamConfiguration& configuration() const = 0;
  // Registers `output` (held weakly) for buffers of `type`, delivered as items of `queue`
  // (not null); a second output of the same type replaces the first. Before or during
  // capture. An error means nothing was registered, typically because the stream cannot
  // deliver that type: the caller gives the stream up (removes what it added, stops it).
  virtual std::optional<PlatformError> addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                                                       std::shared_ptr<Queue> queue) = 0;
  // Unregisters the output of `type`; an error when there is none (callers log it and go
  // on). Once it returns no further call to that output starts, but one already running
  // on the output's queue may still be finishing: a caller that must know the output is
  // quiet (to drop state the callback uses) drains that queue with sync() afterwards.
  virtual std::optional<PlatformError> removeStreamOutput(StreamOutputType type) = 0;
  // Starts capturing. `done` gets no error once the stream runs (outputs receive buffers
  // from some moment after), or the reason it does not (-3821: no sound server; -3815: no
  // such display or output): the stream is then not capturing and the caller tears it
  // down. A stream starts once; starting it again fails. When stopCapture is called
  // before the start completed, the start may still report success: the caller checks
  // its own state after `done`.
  virtual void startCapture(ErrorCompletion done) = 0;
  // Stops capturing; `done` follows the completions of earlier calls on this stream.
  // After `done`, no new buffer is produced; buffers already queued to an output may
  // still be delivered unless the output was removed first (which is why callers remove
  // it first). An error (the stream was not capturing) is only logged by callers: the
  // stream is stopped either way. The delegate is not told.
  virtual void stopCapture(ErrorCompletion done) = 0;
  // Captures another display or window with the same stream and outputs. On error the
  // stream keeps its previous filter and keeps capturing.
  virtual void updateContentFilter(const ContentFilter& filter, ErrorCompletion done) = 0;
  // Where the user chose the target: after a successful startCapture or updateContentFilter,
  // the token that takes the same choice again once (tokens are single use), when the
  // desktop gave one. Any thread; none on services that do not ask.
  virtual std::optional<std::string> restoreToken() const { return std::nullopt; }
};

class ScreenCaptureService {
 public:
  virtual ~ScreenCaptureService() = default;
  // True when capture is allowed. The one call that may wait (a platform may ask the
  // user); false: the caller fails its start with permissionDenied.
  virtual bool requestPermission() = 0;
  // The displays and windows now, each list in the service's order (primary display
  // first). The display list may be empty: callers that need one fail with
  // noDisplayFound. An error fails the caller's operation with that error.
  // The default query is excludingDesktopWindows=false, onScreenWindowsOnly=true.
  virtual void shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                std::function<void(Result<ShareableContent>)> done) = 0;
  // True where the user picks what is captured in the desktop's own dialog (a Wayland
  // desktop's portal): windows are not listed, a window filter's id means nothing and a
  // display's id only that a display is wanted. Any thread, after a first shareableContent.
  virtual bool userChoosesTargets() const { return false; }
  // A new, idle stream. Never null and never fails here: a filter or configuration the
  // service cannot capture is reported by addStreamOutput or startCapture.
  virtual std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter, const StreamConfiguration& config,
                                                    std::weak_ptr<StreamDelegate> delegate) = 0;
  // One BGRA picture of the filter's target at the configured size, or an error that the
  // caller reports as a failed screenshot.
  virtual void captureImage(const ContentFilter& filter, const StreamConfiguration& config,
                            std::function<void(Result<Image>)> done) = 0;
};

}  // namespace qb
