#include "runtime/ThreadExecutor.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <queue>
#include <stdexcept>
#include <thread>
#include <vector>

namespace qb {

namespace {

using SteadyTime = std::chrono::steady_clock::time_point;

struct Item {
  SteadyTime due;
  uint64_t seq;
  Task task;
  TaskHandle handle;
  bool operator>(const Item& o) const { return due != o.due ? due > o.due : seq > o.seq; }
};

// Shared between a queue handle and its worker threads, so that a worker that drops
// the last handle of its own queue still finds its state.
struct QueueState {
  std::string label;
  size_t maxThreads = 1;
  std::mutex mutex;
  std::condition_variable cv;
  std::priority_queue<Item, std::vector<Item>, std::greater<>> items;
  uint64_t nextSeq = 0;
  bool stopping = false;
  size_t idle = 0;
  std::vector<std::thread> threads;
};

thread_local QueueState* tlsCurrentQueue = nullptr;

void workerLoop(std::shared_ptr<QueueState> s) {
  tlsCurrentQueue = s.get();
  std::unique_lock lock(s->mutex);
  while (!s->stopping) {
    if (s->items.empty()) {
      ++s->idle;
      s->cv.wait(lock);
      --s->idle;
      continue;
    }
    auto due = s->items.top().due;
    if (due > std::chrono::steady_clock::now()) {
      ++s->idle;
      s->cv.wait_until(lock, due);
      --s->idle;
      continue;
    }
    Item item = std::move(const_cast<Item&>(s->items.top()));
    s->items.pop();
    lock.unlock();
    if (!item.handle.isCancelled()) item.task();
    item = Item{};  // release captures before taking the lock again
    lock.lock();
  }
}

class ThreadedQueue final : public Queue {
 public:
  ThreadedQueue(std::string label, size_t maxThreads) : state_(std::make_shared<QueueState>()) {
    state_->label = std::move(label);
    state_->maxThreads = maxThreads;
  }

  ~ThreadedQueue() override {
    std::vector<std::thread> threads;
    {
      std::lock_guard lock(state_->mutex);
      state_->stopping = true;
      threads.swap(state_->threads);
    }
    state_->cv.notify_all();
    for (auto& t : threads) {
      if (t.get_id() == std::this_thread::get_id())
        t.detach();  // the worker holds the state; it ends after this item
      else
        t.join();
    }
  }

  const std::string& label() const override { return state_->label; }

  void async(Task task) override { enqueue(0, std::move(task), {}); }

  TaskHandle asyncAfter(double seconds, Task task) override {
    auto h = TaskHandle::make();
    enqueue(seconds, std::move(task), h);
    return h;
  }

  void sync(Task task) override {
    // Waiting for an item that can only run after the current one would hang forever.
    if (isCurrent()) throw std::logic_error("sync onto the current queue " + state_->label);
    Signal done;
    async([&] {
      task();
      done.notify();
    });
    done.waitBlocking();
  }

  bool isCurrent() const override { return tlsCurrentQueue == state_.get(); }

 private:
  void enqueue(double seconds, Task task, TaskHandle handle) {
    auto due = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                      std::chrono::duration<double>(seconds < 0 ? 0 : seconds));
    {
      std::lock_guard lock(state_->mutex);
      if (state_->stopping) return;
      state_->items.push(Item{due, state_->nextSeq++, std::move(task), std::move(handle)});
      if (state_->idle == 0 && state_->threads.size() < state_->maxThreads)
        state_->threads.emplace_back(workerLoop, state_);
    }
    state_->cv.notify_one();
  }

  std::shared_ptr<QueueState> state_;
};

}  // namespace

ThreadExecutor::ThreadExecutor() : pool_(std::make_shared<ThreadedQueue>("pool", 64)) {}

ThreadExecutor::~ThreadExecutor() = default;

std::shared_ptr<Queue> ThreadExecutor::makeQueue(const std::string& label) {
  return std::make_shared<ThreadedQueue>(label, 1);
}

void ThreadExecutor::runAsync(Task task) { pool_->async(std::move(task)); }

TaskHandle ThreadExecutor::runAsyncAfter(double seconds, Task task) {
  return pool_->asyncAfter(seconds, std::move(task));
}

}  // namespace qb
