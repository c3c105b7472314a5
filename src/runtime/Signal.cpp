#include "runtime/Signal.hpp"

#include <chrono>

namespace qb {

void Signal::notify() {
  // Notified under the lock: a waiter that sees set_ may destroy the signal as soon as
  // it gets the lock back, so the notification must be over by then.
  std::lock_guard lock(mutex_);
  set_ = true;
  cv_.notify_all();
}

bool Signal::isSet() const {
  std::lock_guard lock(mutex_);
  return set_;
}

void Signal::waitBlocking() {
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [&] { return set_; });
}

bool Signal::waitBlockingFor(double seconds) {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return set_; });
}

}  // namespace qb
