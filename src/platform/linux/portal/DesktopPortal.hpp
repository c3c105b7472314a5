#pragma once
// The client side of the desktop portal (org.freedesktop.portal.Desktop on the session bus):
// ScreenCast sessions and Screenshot.
//
// Every portal call is a Request: the method returns at once and the answer comes later as
// the Request object's Response signal, after whatever dialog the desktop shows. The calls
// here wait for that answer, bounded by the caller's timeout, so they are made from a thread
// that may block (a stream's own queue, the executor's pool), never from the bus thread.
//
// Thread-safe.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/ScreenCaptureService.hpp"
#include "platform/linux/UniqueFd.hpp"

namespace qb::portal {

class PortalBus;

class DesktopPortal {
 public:
  struct Capabilities {
    uint32_t screenCastVersion = 0;
    uint32_t sourceTypes = 0;  // kSourceMonitor | kSourceWindow ...
    uint32_t cursorModes = 0;  // kCursorHidden | kCursorEmbedded | kCursorMetadata; 0 before version 2
  };

  // Connects to the session bus and reads the ScreenCast interface's properties (which may
  // start the portal through bus activation). Null, with the reason in `why`, when there is
  // no session bus, no portal, or a portal without ScreenCast, within `timeout` seconds.
  static std::shared_ptr<DesktopPortal> connect(double timeout, std::string* why);
  ~DesktopPortal();

  const Capabilities& capabilities() const { return capabilities_; }

  // A started ScreenCast session. Dropping it closes the session on the portal (the desktop
  // then stops its stream), unless the desktop closed it first.
  class Session {
   public:
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    const std::string& path() const { return path_; }

   private:
    friend class DesktopPortal;
    struct Shared;
    Session(std::shared_ptr<PortalBus> bus, std::shared_ptr<Shared> shared);
    std::shared_ptr<PortalBus> bus_;
    std::shared_ptr<Shared> shared_;
    std::string path_;
  };

  struct CastRequest {
    uint32_t sourceType = 0;             // kSourceMonitor or kSourceWindow
    std::optional<uint32_t> cursorMode;  // none: not passed
    std::string restoreToken;            // empty: none
  };
  struct Cast {
    std::unique_ptr<Session> session;
    uint32_t nodeId = 0;  // the PipeWire node of the first stream
    int width = 0;        // its size as the portal states it (0 when it does not)
    int height = 0;
    std::string restoreToken;  // restores this choice once; empty when the portal gave none
    bool restored = false;     // the request's token was passed to the portal (it may still have asked)
    UniqueFd pipewire;         // the PipeWire connection that may see the stream's node
  };

  // CreateSession, SelectSources, Start and OpenPipeWireRemote. `closed` is called once, on the
  // bus thread, when the desktop or the user ends the session later (never after the Session
  // was dropped). A restore token the portal refuses as malformed is dropped and the user is
  // asked instead. Errors: the user cancelled (kUserDeclined), the portal refused or failed
  // (kFailed), or no answer within `timeout` seconds (kFailed).
  Result<Cast> startScreenCast(const CastRequest& request, std::function<void()> closed, double timeout);

  // A screenshot of the whole desktop without a dialog where the desktop allows it: the URI
  // of the PNG file the portal wrote. Errors as for startScreenCast; a portal without the
  // Screenshot interface fails with kFailed.
  Result<std::string> screenshot(double timeout);

 private:
  struct Flow;
  DesktopPortal(std::shared_ptr<PortalBus> bus, Capabilities capabilities);
  Result<Cast> startOnce(const CastRequest& request, std::function<void()> closed, double timeout, bool* tokenRefused);

  std::shared_ptr<PortalBus> bus_;
  const Capabilities capabilities_;
};

}  // namespace qb::portal
