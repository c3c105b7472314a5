#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <variant>

#include "platform/WakeNotifier.hpp"
#include "platform/sim/SimListenerList.hpp"
#include "runtime/Executor.hpp"

namespace qb {

// Wake notifications on demand. Observers run as items of the "sim.wake" queue.
// Thread-safe.
class SimWakeNotifier final : public WakeNotifier {
 public:
  explicit SimWakeNotifier(Executor& executor);
  ListenerToken observeWake(std::function<void()> observer) override;

  // The machine woke: every observer registered now hears of it once.
  void postWake();
  size_t observerCount() const;
  int wakesPosted() const;

 private:
  std::shared_ptr<Queue> queue_;
  SimListenerList<std::monostate> observers_;
  std::atomic<int> posted_{0};
};

}  // namespace qb
