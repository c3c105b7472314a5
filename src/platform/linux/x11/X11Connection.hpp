#pragma once
// One connection to an X server, with the extensions the screen backend uses and an event
// thread.
//
// Opened on first use by whoever needs it: the screen service keeps one for listing and
// screenshots, and every capture stream opens its own. A stream's server-side resources
// (damage objects, pixmaps, shared segments, redirections) then die with its connection
// whatever path ends it, one stream's round trips never delay another's events, and a
// lost server ends each stream on its own thread.
//
// Thread-safety: xcb itself is thread-safe, so requests may be sent from any thread.
// The event thread only reads events and calls the handlers; handlers must not block
// (hand the event to a queue). The connection-lost handlers run once, on the event
// thread, when the server goes away or the connection breaks.

#include <xcb/xcb.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qb::x11 {

// A reply or event that xcb allocated with malloc.
struct XcbFree {
  void operator()(void* p) const { std::free(p); }
};
template <class T>
using XcbReply = std::unique_ptr<T, XcbFree>;

// What the server offers. A missing extension has `present` false; event and error bases
// are only meaningful when it is present.
struct X11Extensions {
  struct Ext {
    bool present = false;
    uint8_t firstEvent = 0;
    uint8_t firstError = 0;
    uint8_t opcode = 0;  // the major opcode, which tags its generic events
    uint32_t major = 0, minor = 0;
  };
  Ext shm;        // MIT-SHM; shm.minor >= 2 passes segments as file descriptors
  Ext damage;     // DAMAGE 1.1
  Ext xfixes;     // XFIXES (regions, cursor images; at least 2.0 to be used)
  Ext composite;  // Composite (window pixmaps; at least 0.2 to be used)
  Ext randr;      // RandR (monitors from 1.5)
  Ext xinput;     // XInputExtension, at least 2.0 (raw pointer motion)
  bool shmFd() const { return shm.present && (shm.major > 1 || shm.minor >= 2); }
  bool monitors() const { return randr.present && (randr.major > 1 || randr.minor >= 5); }
};

class X11Connection {
 public:
  using EventHandler = std::function<void(const xcb_generic_event_t& event)>;
  using LostHandler = std::function<void()>;

  // Connects to `displayName` (DISPLAY when empty) and asks for the extensions. Null
  // when no server can be reached, with `why` set. Blocks for a few round trips.
  // `extensionsToHide` pretends the server lacks some ("MIT-SHM", "Composite", ...), for
  // tests and for users whose server misbehaves with one of them.
  static std::shared_ptr<X11Connection> open(const std::string& displayName = {}, std::string* why = nullptr,
                                             const std::vector<std::string>& extensionsToHide = {});
  // Stops the event thread and closes the connection, which frees every server-side
  // resource made on it. Any thread but the event thread.
  ~X11Connection();
  X11Connection(const X11Connection&) = delete;
  X11Connection& operator=(const X11Connection&) = delete;

  xcb_connection_t* xcb() const { return c_; }
  const xcb_screen_t& screen() const { return *screen_; }
  xcb_window_t root() const { return screen_->root; }
  const X11Extensions& extensions() const { return ext_; }
  const std::string& displayName() const { return displayName_; }

  // The atom for `name`, interned once and cached; XCB_ATOM_NONE when the server could not
  // be asked. Any thread; blocks for a round trip the first time a name is seen.
  xcb_atom_t atom(std::string_view name);

  // Asks for XInput 2 raw motion of every pointer, wherever it is: core X tells only the
  // window's owner of motion over it. False where the server lacks XInput 2. Pointer warps
  // (WarpPointer, as some tools move the pointer) raise no raw motion. Any thread; does not
  // block. Lasts as long as the connection.
  bool selectRawPointerMotion();
  // Whether `event` is the raw pointer motion selected above. Any thread.
  bool isRawPointerMotion(const xcb_generic_event_t& event) const;

  // True once the connection is broken (the server went away or an I/O error). Any thread.
  bool isLost() const;

  // Event handling. The event thread starts with the first handler and runs until the
  // connection closes or breaks. `onEvent` sees every event, errors of unchecked requests
  // included (response_type 0); `onLost` is called once if the connection breaks while
  // registered. Destroying the returned handle unregisters; after it returns neither
  // callback runs any more (unless it is destroyed from within a callback, where the
  // running call finishes first).
  class Subscription {
   public:
    Subscription() = default;
    Subscription(Subscription&& o) noexcept : owner_(std::move(o.owner_)), id_(o.id_) { o.id_ = 0; }
    Subscription& operator=(Subscription&& o) noexcept;
    ~Subscription() { reset(); }
    void reset();

   private:
    friend class X11Connection;
    Subscription(std::weak_ptr<X11Connection> owner, uint64_t id) : owner_(std::move(owner)), id_(id) {}
    std::weak_ptr<X11Connection> owner_;
    uint64_t id_ = 0;
  };
  Subscription subscribe(EventHandler onEvent, LostHandler onLost);

  // The event's type without the "sent by SendEvent" bit.
  static uint8_t eventType(const xcb_generic_event_t& e) { return e.response_type & 0x7f; }

 private:
  X11Connection() = default;
  void eventLoop();
  void unsubscribe(uint64_t id);

  struct Handlers {
    EventHandler onEvent;
    LostHandler onLost;
  };

  xcb_connection_t* c_ = nullptr;
  const xcb_screen_t* screen_ = nullptr;
  X11Extensions ext_;
  std::string displayName_;
  std::weak_ptr<X11Connection> self_;

  std::mutex atomMutex_;
  std::map<std::string, xcb_atom_t, std::less<>> atoms_;

  std::mutex handlerMutex_;
  std::map<uint64_t, std::shared_ptr<Handlers>> handlers_;
  uint64_t nextHandler_ = 1;
  std::mutex dispatchMutex_;  // held while a handler runs, so unsubscribe can wait it out
  std::thread::id eventThreadId_;
  std::thread eventThread_;
  xcb_window_t wakeWindow_ = XCB_NONE;  // a ClientMessage to it wakes the event thread
  std::atomic<bool> stopping_{false};
  std::atomic<bool> lost_{false};
};

}  // namespace qb::x11
