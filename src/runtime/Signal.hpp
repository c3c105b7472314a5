#pragma once

#include <condition_variable>
#include <mutex>

namespace qb {

// A one-shot flag that a waiter can block on. Thread-safe.
class Signal {
 public:
  void notify();
  bool isSet() const;
  void waitBlocking();
  // Returns false when the timeout passed first.
  bool waitBlockingFor(double seconds);

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool set_ = false;
};

}  // namespace qb
