#pragma once
// Displays, windows, capture streams (screen pictures and system audio), screenshots.
//
// Threads: methods may be called from any thread. Completions and the stopped-with-
// error callback run on the service's own threads; stream outputs run as items of the
// queue given when the output was added. Every completion is called exactly once.

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

struct ContentFilter {
  enum class Kind { display, window };
  Kind kind = Kind::display;
  uint32_t displayID = 0;
  uint32_t windowID = 0;
  std::vector<uint32_t> excludedWindowIDs;
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

// Receives a stream's buffers. Streams hold their outputs weakly.
class StreamOutput {
 public:
  virtual ~StreamOutput() = default;
  virtual void streamDidOutputAudio(const CaptureStream& stream, const AudioSampleBuffer& buffer) {
    (void)stream;
    (void)buffer;
  }
  // The frame is valid during the call; keep a copy to keep the picture (see VideoFrame).
  virtual void streamDidOutputVideo(const CaptureStream& stream, const VideoFrame& frame) {
    (void)stream;
    (void)frame;
  }
};

// Told when a stream stops on its own. Streams hold their delegate weakly.
class StreamDelegate {
 public:
  virtual ~StreamDelegate() = default;
  virtual void streamDidStop(const CaptureStream& stream, const PlatformError& error) = 0;
};

using ErrorCompletion = std::function<void(std::optional<PlatformError>)>;

class CaptureStream {
 public:
  virtual ~CaptureStream() = default;
  virtual const StreamConfiguration& configuration() const = 0;
  virtual std::optional<PlatformError> addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                                                       std::shared_ptr<Queue> queue) = 0;
  virtual std::optional<PlatformError> removeStreamOutput(StreamOutputType type) = 0;
  virtual void startCapture(ErrorCompletion done) = 0;
  virtual void stopCapture(ErrorCompletion done) = 0;
  virtual void updateContentFilter(const ContentFilter& filter, ErrorCompletion done) = 0;
};

template <class T>
using Result = std::variant<T, PlatformError>;

class ScreenCaptureService {
 public:
  virtual ~ScreenCaptureService() = default;
  virtual bool requestPermission() = 0;
  // The default query is excludingDesktopWindows=false, onScreenWindowsOnly=true.
  virtual void shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                std::function<void(Result<ShareableContent>)> done) = 0;
  virtual std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter, const StreamConfiguration& config,
                                                    std::weak_ptr<StreamDelegate> delegate) = 0;
  virtual void captureImage(const ContentFilter& filter, const StreamConfiguration& config,
                            std::function<void(Result<Image>)> done) = 0;
};

}  // namespace qb
