#pragma once

#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <tuple>
#include <vector>

#include "runtime/Executor.hpp"

namespace qb {

// Clock driven by ManualExecutor. Wall time starts at a fixed date so that logs and
// events of a test are reproducible.
class VirtualClock final : public Clock {
 public:
  explicit VirtualClock(double wallOrigin = 1.8e9, double uptimeOrigin = 1000.0)
      : wallOrigin_(wallOrigin), uptimeOrigin_(uptimeOrigin) {}
  double now() const override { return wallOrigin_ + elapsed_; }
  double uptime() const override { return uptimeOrigin_ + elapsed_; }
  double elapsed() const { return elapsed_; }
  void setElapsed(double t) { elapsed_ = t; }

 private:
  double wallOrigin_;
  double uptimeOrigin_;
  double elapsed_ = 0;
};

// Deterministic executor for tests: every queue's work runs on the calling thread, in
// due order (submission order among equal times), only inside runUntilIdle(),
// advance() or a wait. A queue's item never runs while an earlier item of the same
// queue is still on the stack, so serial queues stay serial even across nested waits.
// Work that keeps queueing work for the same instant, which virtual time can never end,
// throws std::logic_error after a million steps: a test's named failure, not a hang.
// Posting is thread-safe; running is for one thread.
class ManualExecutor final : public Executor {
 public:
  ManualExecutor() = default;
  ~ManualExecutor() override;

  const Clock& clock() const override { return clock_; }
  std::shared_ptr<Queue> makeQueue(const std::string& label) override;
  void runAsync(Task task) override;
  TaskHandle runAsyncAfter(double seconds, Task task) override;
  // Runs work (moving virtual time forward when nothing is due) until the signal is
  // set; throws std::logic_error when nothing is left that could set it.
  void wait(Signal& signal) override;
  bool waitFor(Signal& signal, double seconds) override;

  // Runs everything that is due now, including work that it queues for now.
  void runUntilIdle();
  // Moves virtual time forward by `seconds`, running work as it falls due.
  void advance(double seconds);
  void advanceTo(double elapsed);
  // Runs due work and moves time on in steps of `step` until pred() holds (true) or
  // `seconds` have passed (false): a test's wait for something its backend does in time.
  bool runUntil(const std::function<bool()>& pred, double seconds, double step);
  double elapsed() const { return clock_.elapsed(); }
  size_t pendingCount() const;

  // Internal, used by the manual queues.
  struct QueueState;
  void post(const std::shared_ptr<QueueState>& q, double delay, Task task, TaskHandle handle);
  bool isTop(const QueueState* q) const { return !running_.empty() && running_.back() == q; }

 private:
  struct Item {
    double due;
    uint64_t seq;
    std::weak_ptr<QueueState> queue;
    bool isPool;
    Task task;
    TaskHandle handle;
  };
  // Runs the first runnable item due at or before `limit`; false when there is none.
  bool step(double limit);
  static constexpr uint64_t kMaxStepsAtOneInstant = 1'000'000;

  VirtualClock clock_;
  mutable std::mutex mutex_;
  std::map<std::pair<double, uint64_t>, Item> items_;
  uint64_t nextSeq_ = 0;
  std::vector<const QueueState*> running_;
  double instant_ = -1;  // the virtual time of the last step, and how many ran at it
  uint64_t stepsAtInstant_ = 0;
};

}  // namespace qb
