#pragma once
// SCREENSHOT: one PNG of the first display, cursor included, sent as one response line
// "SCREENSHOT_DATA:<base64>". Failures are only logged ("ERROR: ..."); no response then.

#include "platform/ScreenCaptureService.hpp"
#include "platform/VideoEncoder.hpp"
#include "runtime/Executor.hpp"

namespace qb {

void captureScreenshot(Executor& executor, ScreenCaptureService& screen, ImageEncoder& images);

}  // namespace qb
