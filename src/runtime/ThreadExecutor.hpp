#pragma once

#include <memory>

#include "runtime/Executor.hpp"

namespace qb {

// Production executor: each serial queue owns one thread; the concurrent pool grows
// threads on demand. Time is the system clock. Destroying the executor stops the pool;
// queues stop when their last reference goes.
class ThreadExecutor final : public Executor {
 public:
  ThreadExecutor();
  ~ThreadExecutor() override;

  const Clock& clock() const override { return clock_; }
  std::shared_ptr<Queue> makeQueue(const std::string& label) override;
  void runAsync(Task task) override;
  TaskHandle runAsyncAfter(double seconds, Task task) override;
  void wait(Signal& signal) override { signal.waitBlocking(); }
  bool waitFor(Signal& signal, double seconds) override { return signal.waitBlockingFor(seconds); }

 private:
  SystemClock clock_;
  std::shared_ptr<Queue> pool_;
};

}  // namespace qb
