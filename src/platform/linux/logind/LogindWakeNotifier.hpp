#pragma once
// Wake from sleep, as logind announces it: PrepareForSleep(false) on the system bus.
//
// The bus is opened with the first observer. Without a system bus (containers, minimal
// systems) there are simply no wake events; that is logged once:
// "Wake notifications unavailable: <reason>".
//
// Thread-safe. Observers run on the notifier's own thread, one at a time.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/WakeNotifier.hpp"

struct sd_bus;
struct sd_bus_slot;

namespace qb {

class LogindWakeNotifier final : public WakeNotifier, public std::enable_shared_from_this<LogindWakeNotifier> {
 public:
  // `log` receives the one line about an unavailable bus.
  explicit LogindWakeNotifier(std::function<void(const std::string&)> log);
  ~LogindWakeNotifier() override;

  ListenerToken observeWake(std::function<void()> observer) override;

  // For tests: true once the bus was opened and the signal subscribed.
  bool listening() const;
  // Calls the observers as a wake would (notifier's callers' thread).
  void notifyWake();

 private:
  // Called once, without the lock (the bus calls may wait); the reason it failed, empty on
  // success.
  std::string openBus();
  void run();

  std::function<void(const std::string&)> log_;
  mutable std::mutex mutex_;  // guards everything below but the thread's own use of bus_
  std::map<uint64_t, std::function<void()>> observers_;
  uint64_t next_ = 1;
  bool tried_ = false;
  sd_bus* bus_ = nullptr;
  sd_bus_slot* slot_ = nullptr;
  int stopFd_ = -1;
  std::thread thread_;
};

}  // namespace qb
