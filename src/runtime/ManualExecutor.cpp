#include "runtime/ManualExecutor.hpp"

#include <algorithm>
#include <stdexcept>

namespace qb {

struct ManualExecutor::QueueState {
  std::string label;
  int busy = 0;
};

namespace {

class ManualQueue final : public Queue {
 public:
  ManualQueue(ManualExecutor& ex, std::string label)
      : executor_(ex), state_(std::make_shared<ManualExecutor::QueueState>()) {
    state_->label = std::move(label);
  }
  const std::string& label() const override { return state_->label; }
  void async(Task task) override { executor_.post(state_, 0, std::move(task), {}); }
  TaskHandle asyncAfter(double seconds, Task task) override {
    auto h = TaskHandle::make();
    executor_.post(state_, seconds, std::move(task), h);
    return h;
  }
  void sync(Task task) override {
    if (isCurrent()) throw std::logic_error("sync onto the current queue " + state_->label);
    Signal done;
    async([&] {
      task();
      done.notify();
    });
    executor_.wait(done);
  }
  bool isCurrent() const override { return executor_.isTop(state_.get()); }

 private:
  ManualExecutor& executor_;
  std::shared_ptr<ManualExecutor::QueueState> state_;  // items hold it weakly
};

}  // namespace

ManualExecutor::~ManualExecutor() {
  std::map<std::pair<double, uint64_t>, Item> items;
  {
    std::lock_guard lock(mutex_);
    items.swap(items_);
  }
  // Tasks are destroyed here, outside the lock: their captures may post more work.
}

std::shared_ptr<Queue> ManualExecutor::makeQueue(const std::string& label) {
  return std::make_shared<ManualQueue>(*this, label);
}

void ManualExecutor::post(const std::shared_ptr<QueueState>& q, double delay, Task task, TaskHandle handle) {
  std::lock_guard lock(mutex_);
  double due = clock_.elapsed() + std::max(0.0, delay);
  uint64_t seq = nextSeq_++;
  items_.emplace(std::make_pair(due, seq), Item{due, seq, q, q == nullptr, std::move(task), std::move(handle)});
}

void ManualExecutor::runAsync(Task task) { post(nullptr, 0, std::move(task), {}); }

TaskHandle ManualExecutor::runAsyncAfter(double seconds, Task task) {
  auto h = TaskHandle::make();
  post(nullptr, seconds, std::move(task), h);
  return h;
}

bool ManualExecutor::step(double limit) {
  Item item;
  std::shared_ptr<QueueState> queue;
  std::vector<Item> dropped;  // destroyed after the lock: their captures may post work
  {
    std::lock_guard lock(mutex_);
    auto it = items_.begin();
    while (it != items_.end()) {
      if (it->second.due > limit) return false;
      if (it->second.isPool) break;
      queue = it->second.queue.lock();
      if (!queue) {  // queue gone: its work is dropped
        dropped.push_back(std::move(it->second));
        it = items_.erase(it);
        continue;
      }
      if (queue->busy == 0) break;
      queue.reset();
      ++it;
    }
    if (it == items_.end()) return false;
    item = std::move(it->second);
    items_.erase(it);
  }
  if (item.due > clock_.elapsed()) clock_.setElapsed(item.due);
  if (clock_.elapsed() != instant_) {
    instant_ = clock_.elapsed();
    stepsAtInstant_ = 0;
  }
  if (++stepsAtInstant_ > kMaxStepsAtOneInstant)
    throw std::logic_error("ManualExecutor: work on " + (queue ? queue->label : std::string("the pool")) +
                           " keeps queueing work for the same instant");
  if (item.handle.isCancelled()) return true;
  if (queue) ++queue->busy;
  running_.push_back(queue.get());
  struct Unwind {
    ManualExecutor* self;
    QueueState* q;
    ~Unwind() {
      self->running_.pop_back();
      if (q) --q->busy;
    }
  } unwind{this, queue.get()};
  item.task();
  return true;
}

void ManualExecutor::wait(Signal& signal) {
  while (!signal.isSet()) {
    if (!step(std::numeric_limits<double>::infinity()))
      throw std::logic_error("ManualExecutor: waiting for work that can never complete");
  }
}

bool ManualExecutor::waitFor(Signal& signal, double seconds) {
  double deadline = clock_.elapsed() + std::max(0.0, seconds);
  while (!signal.isSet()) {
    if (!step(deadline)) {
      if (clock_.elapsed() < deadline) clock_.setElapsed(deadline);
      return signal.isSet();
    }
  }
  return true;
}

void ManualExecutor::runUntilIdle() {
  while (step(clock_.elapsed())) {
  }
}

void ManualExecutor::advance(double seconds) { advanceTo(clock_.elapsed() + seconds); }

bool ManualExecutor::runUntil(const std::function<bool()>& pred, double seconds, double step) {
  const double deadline = elapsed() + seconds;
  for (;;) {
    runUntilIdle();
    if (pred()) return true;
    if (elapsed() >= deadline) return false;
    advance(step);
  }
}

void ManualExecutor::advanceTo(double elapsed) {
  while (step(elapsed)) {
  }
  if (clock_.elapsed() < elapsed) clock_.setElapsed(elapsed);
}

size_t ManualExecutor::pendingCount() const {
  std::lock_guard lock(mutex_);
  return items_.size();
}

}  // namespace qb
