#include "platform/linux/portal/DesktopPortal.hpp"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "platform/linux/portal/PortalBus.hpp"
#include "platform/linux/portal/PortalDecisions.hpp"

namespace qb::portal {

namespace {

// A single method call's own limit; the answers that follow a dialog are bounded by the caller.
constexpr uint64_t kCallTimeoutUsec = 30'000'000;

PlatformError failure(const std::string& text) { return PlatformError{StreamErrorCode::kFailed, kErrorDomain, text}; }

// One value handed from the bus thread to a caller that waits for it.
template <class T>
class Answer {
 public:
  void set(T value) const {
    {
      std::lock_guard lock(s_->mutex);
      if (s_->value) return;
      s_->value.emplace(std::move(value));
    }
    s_->cv.notify_all();
  }
  std::optional<T> take(double seconds) const {
    std::unique_lock lock(s_->mutex);
    s_->cv.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return s_->value.has_value(); });
    return std::exchange(s_->value, std::nullopt);
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    std::optional<T> value;
  };
  std::shared_ptr<State> s_ = std::make_shared<State>();
};

std::string nextToken() {
  static std::atomic<uint64_t> counter{0};
  return "quellbrook" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
}

using Answered = std::function<void(std::optional<PlatformError> error, uint32_t code, sd_bus_message* results)>;

// Calls a portal method whose answer is a Request's Response. `leading` writes the arguments
// before the options; handle_token is added to the options. `answered` runs once, on the bus
// thread: with an error when the call itself failed, else with the Response's code and the
// message positioned at its results. `slot` keeps the Response subscription; the caller drops
// it once answered.
void portalRequest(sd_bus* bus, const std::string& uniqueName, BusSlot& slot, const char* interface, const char* method,
                   const std::function<int(sd_bus_message*)>& leading, std::vector<Option> options, Answered answered) {
  const std::string token = nextToken();
  auto once = std::make_shared<Answered>(std::move(answered));
  auto answer = [once](std::optional<PlatformError> error, uint32_t code, sd_bus_message* results) {
    if (!*once) return;
    auto call = std::move(*once);
    *once = nullptr;
    call(std::move(error), code, results);
  };
  slot = matchSignal(bus, requestPath(uniqueName, token), kRequestInterface, "Response",
                     [answer, method = std::string(method)](sd_bus_message* m) {
                       uint32_t code = 2;
                       if (sd_bus_message_read_basic(m, 'u', &code) < 0)
                         return answer(failure("The desktop portal's answer to " + method + " could not be read"), 0,
                                       nullptr);
                       answer(std::nullopt, code, m);
                     });
  if (!slot) return answer(failure(std::string("Cannot subscribe to the answer of ") + method), 0, nullptr);
  sd_bus_message* m = nullptr;
  int r = sd_bus_message_new_method_call(bus, &m, kPortalService, kPortalPath, interface, method);
  if (r >= 0) r = leading(m);
  options.push_back({"handle_token", token});
  if (r >= 0) r = appendOptions(m, options);
  if (r < 0) {
    sd_bus_message_unref(m);
    return answer(failure(std::string("Cannot build the call ") + method + ": " + std::strerror(-r)), 0, nullptr);
  }
  callAsync(bus, m, kCallTimeoutUsec, [answer, method = std::string(method)](sd_bus_message*, const sd_bus_error* e) {
    if (e) answer(failure("The desktop portal failed " + method + ": " + describeBusError(e)), 0, nullptr);
  });
  sd_bus_message_unref(m);
}

int appendObjectPath(sd_bus_message* m, const std::string& path) {
  return sd_bus_message_append_basic(m, 'o', path.c_str());
}

}  // namespace

// ---- Session ----------------------------------------------------------------------------

// Bus thread only.
struct DesktopPortal::Session::Shared {
  std::string path;
  BusSlot closedSlot;
  std::function<void()> closed;
  bool ended = false;  // closed by either side
};

DesktopPortal::Session::Session(std::shared_ptr<PortalBus> bus, std::shared_ptr<Shared> shared)
    : bus_(std::move(bus)), shared_(std::move(shared)) {
  path_ = shared_->path;  // set before the session was handed over, never changed after
}

DesktopPortal::Session::~Session() {
  bus_->post([shared = shared_](sd_bus* bus) {
    shared->closed = nullptr;
    shared->closedSlot.reset();
    if (std::exchange(shared->ended, true)) return;
    sd_bus_message* m = nullptr;
    if (sd_bus_message_new_method_call(bus, &m, kPortalService, shared->path.c_str(), kSessionInterface, "Close") >= 0)
      callAsync(bus, m, kCallTimeoutUsec, [](sd_bus_message*, const sd_bus_error*) {});
    sd_bus_message_unref(m);
  });
}

// ---- the ScreenCast flow, on the bus thread --------------------------------------------

struct DesktopPortal::Flow : std::enable_shared_from_this<DesktopPortal::Flow> {
  std::shared_ptr<PortalBus> portalBus;
  Capabilities caps;
  CastRequest request;
  Answer<Result<Cast>> answer;
  bool tokenRefused = false;  // read by the caller once the answer is in
  std::shared_ptr<Session::Shared> session = std::make_shared<Session::Shared>();
  BusSlot response;
  sd_bus* bus = nullptr;
  bool finished = false;
  Cast cast;

  void fail(PlatformError error) {
    if (std::exchange(finished, true)) return;
    response.reset();
    endSession();
    answer.set(std::move(error));
  }
  // The session goes with a failed flow: nothing holds it and the portal must not keep it.
  void endSession() {
    session->closedSlot.reset();
    session->closed = nullptr;
    if (session->path.empty() || std::exchange(session->ended, true)) return;
    sd_bus_message* m = nullptr;
    if (sd_bus_message_new_method_call(bus, &m, kPortalService, session->path.c_str(), kSessionInterface, "Close") >= 0)
      callAsync(bus, m, kCallTimeoutUsec, [](sd_bus_message*, const sd_bus_error*) {});
    sd_bus_message_unref(m);
  }
  // The caller gave up waiting: a late grant is closed at once.
  void abandon() { fail(failure("abandoned")); }

  // Bus handlers hold the flow weakly: its caller holds it while it waits and, when it gives
  // up, hands it to a task that ends it, so a call or subscription left with the bus keeps
  // neither the flow nor, through it, the bus.
  template <class F>
  auto weakly(F f) {
    return [weak = weak_from_this(), f = std::move(f)](auto&&... args) {
      if (auto self = weak.lock()) f(*self, std::forward<decltype(args)>(args)...);
    };
  }

  void begin(sd_bus* b, std::function<void()> closed) {
    bus = b;
    const std::string sessionToken = nextToken();
    session->path = sessionPath(portalBus->uniqueName(), sessionToken);
    session->closed = std::move(closed);
    std::weak_ptr<Session::Shared> weakSession = session;
    session->closedSlot = matchSignal(bus, session->path, kSessionInterface, "Closed", [weakSession](sd_bus_message*) {
      auto s = weakSession.lock();
      if (!s || std::exchange(s->ended, true)) return;
      if (auto closed = std::exchange(s->closed, nullptr)) closed();
    });
    portalRequest(
        bus, portalBus->uniqueName(), response, kScreenCastInterface, "CreateSession",
        [](sd_bus_message*) { return 0; }, {{"session_handle_token", sessionToken}},
        weakly([](Flow& self, std::optional<PlatformError> error, uint32_t code, sd_bus_message*) {
          if (error) return self.fail(*error);
          if (auto refused = responseError(code, "the screen-sharing session")) return self.fail(*refused);
          self.selectSources();
        }));
  }

  void selectSources() {
    std::vector<Option> options{{"types", request.sourceType}, {"multiple", false}};
    if (request.cursorMode && caps.screenCastVersion >= 2) options.push_back({"cursor_mode", *request.cursorMode});
    const bool withToken = !request.restoreToken.empty() && caps.screenCastVersion >= 4;
    if (caps.screenCastVersion >= 4) options.push_back({"persist_mode", kPersistUntilRevoked});
    if (withToken) options.push_back({"restore_token", request.restoreToken});
    cast.restored = withToken;
    portalRequest(
        bus, portalBus->uniqueName(), response, kScreenCastInterface, "SelectSources",
        [path = session->path](sd_bus_message* m) { return appendObjectPath(m, path); }, options,
        weakly([withToken](Flow& self, std::optional<PlatformError> error, uint32_t code, sd_bus_message*) {
          if (error) {
            // Only the token can make a well-formed call fail here; the caller asks again without it.
            self.tokenRefused = withToken;
            return self.fail(*error);
          }
          if (auto refused = responseError(code, "the choice of what to share")) return self.fail(*refused);
          self.start();
        }));
  }

  void start() {
    portalRequest(
        bus, portalBus->uniqueName(), response, kScreenCastInterface, "Start",
        [path = session->path](sd_bus_message* m) {
          int r = appendObjectPath(m, path);
          return r < 0 ? r : sd_bus_message_append_basic(m, 's', "");
        },
        {}, weakly([](Flow& self, std::optional<PlatformError> error, uint32_t code, sd_bus_message* results) {
          if (error) return self.fail(*error);
          if (auto refused = responseError(code, "screen sharing")) return self.fail(*refused);
          bool haveStream = false;
          int r = readOptions(results, [&](const std::string& key, sd_bus_message* m) {
            if (key == "restore_token") {
              const char* token = nullptr;
              if (sd_bus_message_read(m, "v", "s", &token) < 0) return false;
              self.cast.restoreToken = token ? token : "";
              return true;
            }
            if (key != "streams") return false;
            if (sd_bus_message_enter_container(m, 'v', "a(ua{sv})") < 0) return false;
            if (sd_bus_message_enter_container(m, 'a', "(ua{sv})") < 0) return false;
            while (sd_bus_message_enter_container(m, 'r', "ua{sv}") > 0) {
              uint32_t node = 0;
              if (sd_bus_message_read_basic(m, 'u', &node) < 0) break;
              int width = 0, height = 0;
              readOptions(m, [&](const std::string& k, sd_bus_message* v) {
                if (k != "size") return false;
                return sd_bus_message_read(v, "v", "(ii)", &width, &height) >= 0;
              });
              if (!haveStream) {  // one source was asked for; a second stream is not shown
                haveStream = true;
                self.cast.nodeId = node;
                self.cast.width = width;
                self.cast.height = height;
              }
              sd_bus_message_exit_container(m);
            }
            sd_bus_message_exit_container(m);
            sd_bus_message_exit_container(m);
            return true;
          });
          if (r < 0 || !haveStream)
            return self.fail(failure("The desktop portal started screen sharing without a stream"));
          self.openPipeWire();
        }));
  }

  void openPipeWire() {
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(bus, &m, kPortalService, kPortalPath, kScreenCastInterface,
                                           "OpenPipeWireRemote");
    if (r >= 0) r = appendObjectPath(m, session->path);
    if (r >= 0) r = appendOptions(m, {});
    if (r < 0) {
      sd_bus_message_unref(m);
      return fail(failure("Cannot build the call OpenPipeWireRemote"));
    }
    callAsync(
        bus, m, kCallTimeoutUsec, weakly([](Flow& self, sd_bus_message* reply, const sd_bus_error* e) {
          if (e) return self.fail(failure("The desktop portal failed OpenPipeWireRemote: " + describeBusError(e)));
          int fd = -1;
          if (sd_bus_message_read_basic(reply, 'h', &fd) < 0 || fd < 0)
            return self.fail(failure("The desktop portal gave no PipeWire connection"));
          UniqueFd own(::fcntl(fd, F_DUPFD_CLOEXEC, 3));  // the message owns the one it carries
          if (!own)
            return self.fail(failure(std::string("Cannot keep the PipeWire connection: ") + std::strerror(errno)));
          self.succeed(std::move(own));
        }));
    sd_bus_message_unref(m);
  }

  void succeed(UniqueFd pipewire) {
    if (std::exchange(finished, true)) return;
    response.reset();
    if (session->ended) {  // closed by the desktop while we were still setting up
      endSession();
      answer.set(PlatformError{StreamErrorCode::kUserStopped, kErrorDomain,
                               "The desktop ended the screen-sharing session as it started"});
      return;
    }
    cast.pipewire = std::move(pipewire);
    cast.session.reset(new Session(portalBus, session));
    answer.set(std::move(cast));
  }
};

// ---- DesktopPortal -----------------------------------------------------------------------

DesktopPortal::DesktopPortal(std::shared_ptr<PortalBus> bus, Capabilities capabilities)
    : bus_(std::move(bus)), capabilities_(capabilities) {}

DesktopPortal::~DesktopPortal() = default;

std::shared_ptr<DesktopPortal> DesktopPortal::connect(double timeout, std::string* why) {
  auto bus = PortalBus::open(why);
  if (!bus) return nullptr;
  Answer<Result<Capabilities>> answer;
  bus->post([answer](sd_bus* b) {
    sd_bus_message* m = nullptr;
    int r =
        sd_bus_message_new_method_call(b, &m, kPortalService, kPortalPath, "org.freedesktop.DBus.Properties", "GetAll");
    if (r >= 0) r = sd_bus_message_append_basic(m, 's', kScreenCastInterface);
    if (r < 0) {
      sd_bus_message_unref(m);
      return answer.set(failure("cannot build the call GetAll"));
    }
    callAsync(b, m, kCallTimeoutUsec, [answer](sd_bus_message* reply, const sd_bus_error* e) {
      if (e) return answer.set(failure(describeBusError(e)));
      Capabilities caps;
      int r = readOptions(reply, [&](const std::string& key, sd_bus_message* v) {
        uint32_t* field = key == "version"                ? &caps.screenCastVersion
                          : key == "AvailableSourceTypes" ? &caps.sourceTypes
                          : key == "AvailableCursorModes" ? &caps.cursorModes
                                                          : nullptr;
        return field && sd_bus_message_read(v, "v", "u", field) >= 0;
      });
      if (r < 0) return answer.set(failure("its ScreenCast properties could not be read"));
      if (caps.screenCastVersion == 0) return answer.set(failure("it has no ScreenCast interface"));
      answer.set(caps);
    });
    sd_bus_message_unref(m);
  });
  auto got = answer.take(timeout);
  if (!got) {
    if (why) *why = "the desktop portal did not answer within " + std::to_string(int(timeout)) + " s";
    return nullptr;
  }
  if (auto* error = std::get_if<PlatformError>(&*got)) {
    if (why) *why = error->description;
    return nullptr;
  }
  return std::shared_ptr<DesktopPortal>(new DesktopPortal(std::move(bus), std::get<Capabilities>(*got)));
}

Result<DesktopPortal::Cast> DesktopPortal::startScreenCast(const CastRequest& request, std::function<void()> closed,
                                                           double timeout) {
  bool tokenRefused = false;
  auto result = startOnce(request, closed, timeout, &tokenRefused);
  if (!tokenRefused) return result;
  CastRequest again = request;
  again.restoreToken.clear();
  return startOnce(again, std::move(closed), timeout, &tokenRefused);
}

Result<DesktopPortal::Cast> DesktopPortal::startOnce(const CastRequest& request, std::function<void()> closed,
                                                     double timeout, bool* tokenRefused) {
  auto flow = std::make_shared<Flow>();
  flow->portalBus = bus_;
  flow->caps = capabilities_;
  flow->request = request;
  auto answer = flow->answer;
  bus_->post([flow, closed = std::move(closed)](sd_bus* bus) mutable { flow->begin(bus, std::move(closed)); });
  auto got = answer.take(timeout);
  if (!got) {
    bus_->post([flow](sd_bus*) { flow->abandon(); });
    // A grant that came in meanwhile is dropped with the answer, which closes its session.
    answer.take(0);
    return failure("The desktop portal did not answer within " + std::to_string(int(timeout)) + " s");
  }
  *tokenRefused = flow->tokenRefused;  // written before the answer was set
  return std::move(*got);
}

Result<std::string> DesktopPortal::screenshot(double timeout) {
  struct Shot {
    BusSlot response;
  };
  auto shot = std::make_shared<Shot>();
  Answer<Result<std::string>> answer;
  bus_->post([bus = bus_, shot, answer](sd_bus* b) {
    portalRequest(
        b, bus->uniqueName(), shot->response, kScreenshotInterface, "Screenshot",
        [](sd_bus_message* m) { return sd_bus_message_append_basic(m, 's', ""); },
        {{"modal", false}, {"interactive", false}},
        [weakShot = std::weak_ptr<Shot>(shot), answer](std::optional<PlatformError> error, uint32_t code,
                                                       sd_bus_message* results) {
          if (auto shot = weakShot.lock()) shot->response.reset();
          if (error) return answer.set(*error);
          if (auto refused = responseError(code, "the screenshot")) return answer.set(*refused);
          std::string uri;
          readOptions(results, [&](const std::string& key, sd_bus_message* v) {
            const char* s = nullptr;
            if (key != "uri" || sd_bus_message_read(v, "v", "s", &s) < 0) return false;
            uri = s ? s : "";
            return true;
          });
          if (uri.empty()) return answer.set(failure("The desktop portal's screenshot came without a file"));
          answer.set(uri);
        });
  });
  auto got = answer.take(timeout);
  bus_->post([shot](sd_bus*) { shot->response.reset(); });
  if (!got) return failure("The desktop portal did not answer within " + std::to_string(int(timeout)) + " s");
  return std::move(*got);
}

}  // namespace qb::portal
