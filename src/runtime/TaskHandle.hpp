#pragma once

#include <atomic>
#include <memory>

namespace qb {

// Cancels delayed or repeating work. Cancelling work that has started does not stop
// it; it only keeps it (and, for repeating work, its later runs) from starting.
// Copyable; copies share one flag. Thread-safe.
class TaskHandle {
 public:
  TaskHandle() = default;
  static TaskHandle make() {
    TaskHandle h;
    h.flag_ = std::make_shared<std::atomic<bool>>(false);
    return h;
  }
  void cancel() const {
    if (flag_) flag_->store(true);
  }
  bool isCancelled() const { return flag_ && flag_->load(); }
  bool valid() const { return flag_ != nullptr; }

 private:
  std::shared_ptr<std::atomic<bool>> flag_;
};

}  // namespace qb
