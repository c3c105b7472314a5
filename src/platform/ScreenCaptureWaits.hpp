#pragma once
// Blocking forms of the screen capture service's asynchronous operations, for callers
// that run one operation at a time (commands, a source's start and stop). Each waits
// through the executor, so tests run them in virtual time. Never call them with a lock
// held or from the queue that completes the operation.

#include "platform/ScreenCaptureService.hpp"
#include "runtime/Executor.hpp"

namespace qb {

inline Result<ShareableContent> awaitShareableContent(Executor& executor, ScreenCaptureService& screen,
                                                      bool excludingDesktopWindows, bool onScreenWindowsOnly) {
  Completion<Result<ShareableContent>> done;
  screen.shareableContent(excludingDesktopWindows, onScreenWindowsOnly,
                          [done](Result<ShareableContent> r) { done.complete(std::move(r)); });
  return done.wait(executor);
}

inline std::optional<PlatformError> awaitStartCapture(Executor& executor, CaptureStream& stream) {
  Completion<std::optional<PlatformError>> done;
  stream.startCapture([done](std::optional<PlatformError> e) { done.complete(std::move(e)); });
  return done.wait(executor);
}

inline std::optional<PlatformError> awaitStopCapture(Executor& executor, CaptureStream& stream) {
  Completion<std::optional<PlatformError>> done;
  stream.stopCapture([done](std::optional<PlatformError> e) { done.complete(std::move(e)); });
  return done.wait(executor);
}

inline std::optional<PlatformError> awaitContentFilterUpdate(Executor& executor, CaptureStream& stream,
                                                             const ContentFilter& filter) {
  Completion<std::optional<PlatformError>> done;
  stream.updateContentFilter(filter, [done](std::optional<PlatformError> e) { done.complete(std::move(e)); });
  return done.wait(executor);
}

inline Result<Image> awaitImage(Executor& executor, ScreenCaptureService& screen, const ContentFilter& filter,
                                const StreamConfiguration& config) {
  Completion<Result<Image>> done;
  screen.captureImage(filter, config, [done](Result<Image> r) { done.complete(std::move(r)); });
  return done.wait(executor);
}

}  // namespace qb
