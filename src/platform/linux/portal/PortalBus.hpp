#pragma once
// One connection to the session bus and the thread that serves it.
//
// sd-bus objects are not thread-safe, so every call on the connection runs on the bus's own
// thread: other threads hand it work with post(). Replies and signals are dispatched on that
// thread too. The helpers below (callAsync, matchSignal, the option writer and reader) are
// for use on the bus thread only.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include <systemd/sd-bus.h>

namespace qb::portal {

class PortalBus {
 public:
  // Connects to the session bus (DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus) and
  // starts the bus thread; null, with the reason in `why`, when there is no bus to reach.
  // Waits for the bus daemon's Hello (bounded by sd-bus's own method timeout).
  static std::shared_ptr<PortalBus> open(std::string* why);
  ~PortalBus();
  PortalBus(const PortalBus&) = delete;
  PortalBus& operator=(const PortalBus&) = delete;

  // Runs `task` on the bus thread, after the tasks posted before it. Any thread. Once the
  // connection has failed or the bus is being destroyed, tasks are dropped unrun: whoever
  // waits for their effect must bound the wait.
  void post(std::function<void(sd_bus*)> task);
  // The connection's unique name (":1.42"); portal request and session paths derive from it.
  const std::string& uniqueName() const { return uniqueName_; }
  // False once the connection to the bus daemon is lost.
  bool connected() const;

 private:
  struct State;
  explicit PortalBus(std::shared_ptr<State> state, std::string uniqueName);
  std::shared_ptr<State> state_;
  const std::string uniqueName_;
};

// ---- On the bus thread only ----------------------------------------------------------

// A handler for a method's reply: `reply` on success (read from its start), else `error`.
using ReplyHandler = std::function<void(sd_bus_message* reply, const sd_bus_error* error)>;
// A handler for a signal; the message is read from its start.
using SignalHandler = std::function<void(sd_bus_message* signal)>;

// Sends `call` and hands its reply to `handler` once (an error of its own when it cannot be
// sent). The handler lives as long as the call is pending.
void callAsync(sd_bus* bus, sd_bus_message* call, uint64_t timeoutUsec, ReplyHandler handler);

// A subscription to one signal; unsubscribes when dropped, which must happen on the bus thread.
class BusSlot {
 public:
  BusSlot() = default;
  explicit BusSlot(sd_bus_slot* slot) : slot_(slot) {}
  ~BusSlot() { reset(); }
  BusSlot(BusSlot&& other) noexcept : slot_(other.slot_) { other.slot_ = nullptr; }
  BusSlot& operator=(BusSlot&& other) noexcept;
  void reset();
  explicit operator bool() const { return slot_ != nullptr; }

 private:
  sd_bus_slot* slot_ = nullptr;
};

// Subscribes to signal `member` of `interface` on object `path` (any sender). The match is
// installed with the bus daemon before any method call sent after it is delivered, since
// the daemon handles one connection's messages in order.
BusSlot matchSignal(sd_bus* bus, const std::string& path, const char* interface, const char* member,
                    SignalHandler handler);

// A value of an a{sv} option or result that the portal client reads or writes.
using OptionValue = std::variant<std::string, uint32_t, bool>;
struct Option {
  std::string key;
  OptionValue value;
};

// Appends `options` as an a{sv}; a negative errno on failure.
int appendOptions(sd_bus_message* m, const std::vector<Option>& options);

// Reads an a{sv} at the message's read position, calling `entry` for each key with the
// message at the variant's start. `entry` reads the variant and returns true, or returns
// false to have it skipped. A negative errno when the message is not of that shape.
int readOptions(sd_bus_message* m, const std::function<bool(const std::string& key, sd_bus_message* m)>& entry);

// "org.freedesktop.DBus.Error.ServiceUnknown: The name ... was not provided": the error's name
// and message in one line, for logs and error texts.
std::string describeBusError(const sd_bus_error* error);

}  // namespace qb::portal
