#pragma once

#include <functional>

#include "platform/ListenerToken.hpp"

namespace qb {

// Tells when the machine woke from sleep. Observers run on the notifier's thread.
class WakeNotifier {
 public:
  virtual ~WakeNotifier() = default;
  virtual ListenerToken observeWake(std::function<void()> observer) = 0;
};

}  // namespace qb
