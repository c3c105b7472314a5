#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/WakeNotifier.hpp"
#include "runtime/Executor.hpp"

namespace qb {

// Wake notifications on demand. Observers run as items of the "sim.wake" queue.
// Thread-safe.
class SimWakeNotifier final : public WakeNotifier, public std::enable_shared_from_this<SimWakeNotifier> {
 public:
  explicit SimWakeNotifier(Executor& executor);
  ListenerToken observeWake(std::function<void()> observer) override;

  // The machine woke: every observer registered now hears of it once.
  void postWake();
  size_t observerCount() const;
  int wakesPosted() const;

 private:
  struct Observer {
    std::function<void()> callback;
    std::atomic<bool> active{true};
  };
  std::shared_ptr<Queue> queue_;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Observer>> observers_;
  int posted_ = 0;
};

}  // namespace qb
