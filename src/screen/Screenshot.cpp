#include "screen/Screenshot.hpp"

#include "platform/ScreenCaptureWaits.hpp"
#include "screen/Base64.hpp"
#include "wire/Output.hpp"

namespace qb {

void captureScreenshot(Executor& executor, ScreenCaptureService& screen, ImageEncoder& images) {
  auto content = awaitShareableContent(executor, screen, false, true);
  if (auto* error = std::get_if<PlatformError>(&content)) {
    logToStderr("ERROR: Failed to capture screenshot: " + error->printed());
    return;
  }
  const auto& displays = std::get<ShareableContent>(content).displays;
  if (displays.empty()) {
    logToStderr("ERROR: No displays found for screenshot");
    return;
  }
  const DisplayInfo& display = displays.front();
  ContentFilter filter = ContentFilter::forDisplay(display.displayID);
  StreamConfiguration config;
  config.width = display.width;
  config.height = display.height;
  config.pixelFormat = kPixelFormatBGRA;
  config.showsCursor = true;
  config.scalesToFit = false;

  auto image = awaitImage(executor, screen, filter, config);
  if (auto* error = std::get_if<PlatformError>(&image)) {
    logToStderr("ERROR: Failed to capture screenshot: " + error->printed());
    return;
  }
  auto png = images.encodePNG(std::get<Image>(image));
  if (!png || png->empty()) {
    logToStderr("ERROR: Failed to convert screenshot to PNG");
    return;
  }
  sendCommandResponse("SCREENSHOT_DATA:" + base64Encode(*png));
}

}  // namespace qb
