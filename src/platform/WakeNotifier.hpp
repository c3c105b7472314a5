#pragma once

#include <functional>

#include "platform/ListenerToken.hpp"

namespace qb {

// Tells when the machine woke from sleep.
class WakeNotifier {
 public:
  virtual ~WakeNotifier() = default;
  // Any thread; never fails. The observer runs on the notifier's thread, once per wake,
  // never inside this call, until its token is destroyed. Where the system announces no
  // wakes it never runs (the backend logs that once).
  virtual ListenerToken observeWake(std::function<void()> observer) = 0;
};

}  // namespace qb
