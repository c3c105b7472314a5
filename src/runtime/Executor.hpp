#pragma once
// Serial queues, a concurrent pool, delayed and repeating work, and waits on
// completions, all over one injectable clock. Production uses ThreadExecutor (a thread
// per queue, the real clock); tests use ManualExecutor (everything on the test's thread
// in virtual time).

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "runtime/Clock.hpp"
#include "runtime/Signal.hpp"
#include "runtime/TaskHandle.hpp"

namespace qb {

using Task = std::function<void()>;

// A serial queue: work runs one item at a time in submission order (delayed work in
// due order). Dropping the last reference stops the queue after the item that is
// running and drops what is still queued. Thread-safe.
class Queue {
 public:
  virtual ~Queue() = default;
  virtual const std::string& label() const = 0;
  virtual void async(Task task) = 0;
  virtual TaskHandle asyncAfter(double seconds, Task task) = 0;
  // Runs task on the queue and returns when it has run. Called from the queue itself it
  // throws std::logic_error instead of waiting for ever.
  virtual void sync(Task task) = 0;
  // True while the calling code runs as an item of this queue.
  virtual bool isCurrent() const = 0;
};

class Executor {
 public:
  virtual ~Executor() = default;
  virtual const Clock& clock() const = 0;
  virtual std::shared_ptr<Queue> makeQueue(const std::string& label) = 0;
  // Concurrent work ("an asynchronous task"): items may run in parallel.
  virtual void runAsync(Task task) = 0;
  virtual TaskHandle runAsyncAfter(double seconds, Task task) = 0;
  // Returns once signal is set. Never call it with a lock held or from the queue that
  // must set the signal. The manual executor runs other work (advancing virtual time
  // when nothing is due) until the signal is set.
  virtual void wait(Signal& signal) = 0;
  // As wait, but gives up after `seconds` of this executor's time; false on timeout.
  virtual bool waitFor(Signal& signal, double seconds) = 0;
  void sleep(double seconds) {
    Signal s;
    waitFor(s, seconds);
  }
};

// A single result handed from the code that completes an operation to the code that
// waits for it. The first complete() wins; later ones are ignored. Thread-safe.
template <class T>
class Completion {
 public:
  Completion() : state_(std::make_shared<State>()) {}
  void complete(T value) const {
    {
      std::lock_guard lock(state_->mutex);
      if (state_->value) return;
      state_->value.emplace(std::move(value));
    }
    state_->signal.notify();
  }
  bool ready() const { return state_->signal.isSet(); }
  T wait(Executor& executor) const {
    executor.wait(state_->signal);
    std::lock_guard lock(state_->mutex);
    return *state_->value;
  }
  std::optional<T> waitFor(Executor& executor, double seconds) const {
    if (!executor.waitFor(state_->signal, seconds)) return std::nullopt;
    std::lock_guard lock(state_->mutex);
    return state_->value;
  }

 private:
  struct State {
    std::mutex mutex;
    std::optional<T> value;
    Signal signal;
  };
  std::shared_ptr<State> state_;
};

// A repeating timer on a queue: first run `interval` after start, then every
// `interval` after the previous due time (no drift). cancel() stops later runs.
TaskHandle scheduleRepeating(const std::shared_ptr<Queue>& queue, double firstDelay, double interval, Task task);

}  // namespace qb
