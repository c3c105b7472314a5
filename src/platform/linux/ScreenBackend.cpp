#include "platform/linux/ScreenBackend.hpp"

#include <cstdlib>

#include "platform/linux/portal/PortalScreenCaptureService.hpp"
#include "platform/linux/x11/LinuxScreenCaptureService.hpp"

namespace qb {

std::shared_ptr<ScreenCaptureService> makeScreenCaptureService(Executor& executor,
                                                               std::shared_ptr<pulse::PulseConnection> connection,
                                                               std::shared_ptr<Queue> events,
                                                               std::shared_ptr<AppIdentity> apps, LogFunction log) {
  auto x11 = std::make_shared<LinuxScreenCaptureService>(executor, std::move(connection), events, std::move(apps), log);
  if (screenSessionOf(std::getenv("WAYLAND_DISPLAY"), std::getenv("XDG_SESSION_TYPE")) == ScreenSession::x11) {
    if (log) log("Screen capture: X11");
    return x11;
  }
  if (log) log("Screen capture: Wayland session, through the desktop portal and PipeWire");
  return std::make_shared<portal::PortalScreenCaptureService>(executor, std::move(events), std::move(x11),
                                                              std::move(log));
}

}  // namespace qb
