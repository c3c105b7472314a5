#pragma once
// One BGRA picture of a display (or a window) at its own size, the cursor drawn in when
// asked, over a connection of its own that closes when the picture is taken.

#include "platform/ScreenCaptureService.hpp"

#include <string>

namespace qb::x11 {

// Blocks for a few round trips; any thread. Fails with -3815 when the target does not
// exist, -3821 when no X server can be reached.
Result<Image> captureScreenshot(const ContentFilter& filter, bool withCursor, const std::string& displayName = {});

}  // namespace qb::x11
