#pragma once

#include <functional>
#include <memory>

#include "runtime/Clock.hpp"
#include "runtime/Executor.hpp"

namespace qb {

// Watches a capture for silence: while armed it ticks every second on its owner's queue and
// tells the tick how long ago the last heartbeat (a buffer, a fresh stream) was. It keeps
// ticking through a silence; the owner decides what a long one calls for. Used only from
// items of that queue.
class CallbackWatchdog {
 public:
  static constexpr double interval = 1.0;

  explicit CallbackWatchdog(const Clock& clock) : clock_(clock) {}
  ~CallbackWatchdog() { stop(); }
  CallbackWatchdog(const CallbackWatchdog&) = delete;
  CallbackWatchdog& operator=(const CallbackWatchdog&) = delete;

  // (Re)arms: the first tick one interval from now. The tick must hold its owner weakly.
  void start(const std::shared_ptr<Queue>& queue, std::function<void()> tick) {
    stop();
    timer_ = scheduleRepeating(queue, interval, interval, std::move(tick));
  }
  void stop() {
    timer_.cancel();
    timer_ = TaskHandle{};
  }
  void heartbeat() { last_ = clock_.now(); }
  // Seconds since the last heartbeat; 0 before the first.
  double age() const { return last_ == 0 ? 0 : clock_.now() - last_; }

 private:
  const Clock& clock_;
  TaskHandle timer_;
  double last_ = 0;
};

}  // namespace qb
