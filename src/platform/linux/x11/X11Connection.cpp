#include "platform/linux/x11/X11Connection.hpp"

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>
#include <xcb/xinput.h>

#include <algorithm>
#include <cstring>

namespace qb::x11 {

namespace {

bool hidden(const std::vector<std::string>& hide, const char* name) {
  return std::find(hide.begin(), hide.end(), name) != hide.end();
}

X11Extensions::Ext presence(xcb_connection_t* c, xcb_extension_t* ext, const char* name,
                            const std::vector<std::string>& hide) {
  X11Extensions::Ext out;
  if (hidden(hide, name)) return out;
  const xcb_query_extension_reply_t* r = xcb_get_extension_data(c, ext);
  if (!r || !r->present) return out;
  out.present = true;
  out.firstEvent = r->first_event;
  out.firstError = r->first_error;
  out.opcode = r->major_opcode;
  return out;
}

}  // namespace

std::shared_ptr<X11Connection> X11Connection::open(const std::string& displayName, std::string* why,
                                                   const std::vector<std::string>& extensionsToHide) {
  auto fail = [why](const std::string& reason) -> std::shared_ptr<X11Connection> {
    if (why) *why = reason;
    return nullptr;
  };
  const char* env = std::getenv("DISPLAY");
  if (displayName.empty() && (!env || !*env)) return fail("DISPLAY is not set");

  std::shared_ptr<X11Connection> x(new X11Connection);
  x->self_ = x;
  x->displayName_ = displayName.empty() ? env : displayName;
  int screenNumber = 0;
  x->c_ = xcb_connect(x->displayName_.c_str(), &screenNumber);
  if (!x->c_ || xcb_connection_has_error(x->c_)) return fail("cannot connect to the X server " + x->displayName_);
  xcb_connection_t* c = x->c_;
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screenNumber && it.rem; ++i) xcb_screen_next(&it);
  if (!it.rem) return fail("the X server " + x->displayName_ + " has no screen " + std::to_string(screenNumber));
  x->screen_ = it.data;

  // Ask for every extension at once, then each version (required before first use).
  for (xcb_extension_t* e :
       {&xcb_shm_id, &xcb_damage_id, &xcb_xfixes_id, &xcb_composite_id, &xcb_randr_id, &xcb_input_id})
    xcb_prefetch_extension_data(c, e);
  X11Extensions& ext = x->ext_;
  ext.shm = presence(c, &xcb_shm_id, "MIT-SHM", extensionsToHide);
  ext.damage = presence(c, &xcb_damage_id, "DAMAGE", extensionsToHide);
  ext.xfixes = presence(c, &xcb_xfixes_id, "XFIXES", extensionsToHide);
  ext.composite = presence(c, &xcb_composite_id, "Composite", extensionsToHide);
  ext.randr = presence(c, &xcb_randr_id, "RANDR", extensionsToHide);
  ext.xinput = presence(c, &xcb_input_id, "XInputExtension", extensionsToHide);

  xcb_shm_query_version_cookie_t shmV{};
  xcb_damage_query_version_cookie_t damageV{};
  xcb_xfixes_query_version_cookie_t xfixesV{};
  xcb_composite_query_version_cookie_t compositeV{};
  xcb_randr_query_version_cookie_t randrV{};
  xcb_input_xi_query_version_cookie_t xinputV{};
  if (ext.shm.present) shmV = xcb_shm_query_version(c);
  if (ext.damage.present) damageV = xcb_damage_query_version(c, 1, 1);
  if (ext.xfixes.present) xfixesV = xcb_xfixes_query_version(c, 5, 0);
  if (ext.composite.present) compositeV = xcb_composite_query_version(c, 0, 4);
  if (ext.randr.present) randrV = xcb_randr_query_version(c, 1, 5);
  // The server takes no XInput 2 request from a client that has not told it its version.
  if (ext.xinput.present) xinputV = xcb_input_xi_query_version(c, 2, 2);
  auto version = [](X11Extensions::Ext& e, auto* reply, uint32_t needMajor, uint32_t needMinor) {
    XcbReply<std::remove_pointer_t<decltype(reply)>> r(reply);
    if (!e.present) return;
    if (!r) {
      e.present = false;
      return;
    }
    e.major = r->major_version;
    e.minor = r->minor_version;
    if (e.major < needMajor || (e.major == needMajor && e.minor < needMinor)) e.present = false;
  };
  if (ext.shm.present) version(ext.shm, xcb_shm_query_version_reply(c, shmV, nullptr), 1, 1);
  if (ext.damage.present) version(ext.damage, xcb_damage_query_version_reply(c, damageV, nullptr), 1, 1);
  if (ext.xfixes.present) version(ext.xfixes, xcb_xfixes_query_version_reply(c, xfixesV, nullptr), 2, 0);
  if (ext.composite.present) version(ext.composite, xcb_composite_query_version_reply(c, compositeV, nullptr), 0, 2);
  if (ext.randr.present) version(ext.randr, xcb_randr_query_version_reply(c, randrV, nullptr), 1, 2);
  if (ext.xinput.present) version(ext.xinput, xcb_input_xi_query_version_reply(c, xinputV, nullptr), 2, 0);
  if (xcb_connection_has_error(c)) return fail("the connection to the X server " + x->displayName_ + " broke");
  return x;
}

X11Connection::~X11Connection() {
  if (eventThread_.joinable()) {
    stopping_ = true;
    if (!xcb_connection_has_error(c_)) {
      // Wake the thread from xcb_wait_for_event with an event of our own.
      xcb_client_message_event_t wake{};
      wake.response_type = XCB_CLIENT_MESSAGE;
      wake.format = 32;
      wake.window = wakeWindow_;
      wake.type = XCB_ATOM_NONE;
      xcb_send_event(c_, 0, wakeWindow_, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&wake));
      xcb_flush(c_);
    }
    eventThread_.join();
  }
  if (c_) xcb_disconnect(c_);
}

xcb_atom_t X11Connection::atom(std::string_view name) {
  {
    std::lock_guard lock(atomMutex_);
    if (auto it = atoms_.find(name); it != atoms_.end()) return it->second;
  }
  XcbReply<xcb_intern_atom_reply_t> r(
      xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, static_cast<uint16_t>(name.size()), name.data()), nullptr));
  if (!r) return XCB_ATOM_NONE;
  std::lock_guard lock(atomMutex_);
  atoms_.emplace(std::string(name), r->atom);
  return r->atom;
}

bool X11Connection::selectRawPointerMotion() {
  if (!ext_.xinput.present) return false;
  struct {
    xcb_input_event_mask_t head;
    uint32_t bits;
  } mask{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, XCB_INPUT_XI_EVENT_MASK_RAW_MOTION};
  xcb_input_xi_select_events(c_, root(), 1, &mask.head);
  xcb_flush(c_);
  return true;
}

bool X11Connection::isRawPointerMotion(const xcb_generic_event_t& event) const {
  if (!ext_.xinput.present || eventType(event) != XCB_GE_GENERIC) return false;
  const auto& e = reinterpret_cast<const xcb_ge_generic_event_t&>(event);
  return e.extension == ext_.xinput.opcode && e.event_type == XCB_INPUT_RAW_MOTION;
}

bool X11Connection::isLost() const { return lost_ || xcb_connection_has_error(c_) != 0; }

X11Connection::Subscription& X11Connection::Subscription::operator=(Subscription&& o) noexcept {
  if (this != &o) {
    reset();
    owner_ = std::move(o.owner_);
    id_ = o.id_;
    o.id_ = 0;
  }
  return *this;
}

void X11Connection::Subscription::reset() {
  if (id_ == 0) return;
  if (auto owner = owner_.lock()) owner->unsubscribe(id_);
  owner_.reset();
  id_ = 0;
}

X11Connection::Subscription X11Connection::subscribe(EventHandler onEvent, LostHandler onLost) {
  uint64_t id;
  bool startThread = false;
  {
    std::lock_guard lock(handlerMutex_);
    id = nextHandler_++;
    handlers_[id] = std::make_shared<Handlers>(Handlers{std::move(onEvent), std::move(onLost)});
    startThread = !eventThread_.joinable();
    if (startThread) {
      wakeWindow_ = xcb_generate_id(c_);
      xcb_create_window(c_, 0, wakeWindow_, root(), -1, -1, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT,
                        0, nullptr);
      xcb_flush(c_);
      eventThread_ = std::thread([this] { eventLoop(); });
      eventThreadId_ = eventThread_.get_id();
    }
  }
  return Subscription(self_, id);
}

void X11Connection::unsubscribe(uint64_t id) {
  bool onEventThread;
  {
    std::lock_guard lock(handlerMutex_);
    handlers_.erase(id);
    onEventThread = std::this_thread::get_id() == eventThreadId_;
  }
  // Wait out a handler that is running now, unless we are inside it.
  if (!onEventThread) std::lock_guard wait(dispatchMutex_);
}

void X11Connection::eventLoop() {
  auto snapshot = [this] {
    std::vector<std::shared_ptr<Handlers>> out;
    std::lock_guard lock(handlerMutex_);
    for (auto& [id, h] : handlers_) out.push_back(h);
    return out;
  };
  auto stillRegistered = [this](const std::shared_ptr<Handlers>& h) {
    std::lock_guard lock(handlerMutex_);
    return std::any_of(handlers_.begin(), handlers_.end(), [&](auto& kv) { return kv.second == h; });
  };
  for (;;) {
    XcbReply<xcb_generic_event_t> e(xcb_wait_for_event(c_));
    if (!e) break;  // the connection broke
    if (stopping_) return;
    for (auto& h : snapshot()) {
      std::lock_guard dispatch(dispatchMutex_);
      if (stillRegistered(h) && h->onEvent) h->onEvent(*e);
    }
  }
  if (stopping_) return;
  lost_ = true;
  for (auto& h : snapshot()) {
    std::lock_guard dispatch(dispatchMutex_);
    if (stillRegistered(h) && h->onLost) h->onLost();
  }
}

}  // namespace qb::x11
