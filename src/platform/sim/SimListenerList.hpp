#pragma once
// The listeners of a simulated service, each with a key that says what it listens to.
// A listener whose token is gone is never called again, not even by a call queued
// before it went. Thread-safe; no lock is held while a listener runs.

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/ListenerToken.hpp"
#include "runtime/Executor.hpp"

namespace qb {

template <class Key>
class SimListenerList {
 public:
  ListenerToken add(Key key, std::function<void()> callback) {
    auto entry = std::make_shared<Entry>(std::move(key), std::move(callback));
    {
      std::lock_guard lock(state_->mutex);
      state_->entries.push_back(entry);
    }
    std::weak_ptr<State> weakState = state_;
    std::weak_ptr<Entry> weakEntry = entry;
    return ListenerToken([weakState, weakEntry] {
      auto e = weakEntry.lock();
      if (!e) return;
      e->active = false;
      if (auto state = weakState.lock()) {
        std::lock_guard lock(state->mutex);
        std::erase(state->entries, e);
      }
    });
  }

  // Queues on `queue` one call of every listener registered now whose key passes `due`.
  template <class Due>
  void notify(Queue& queue, Due&& due) const {
    std::vector<std::shared_ptr<Entry>> calls;
    {
      std::lock_guard lock(state_->mutex);
      for (auto& e : state_->entries)
        if (due(e->key)) calls.push_back(e);
    }
    for (auto& e : calls)
      queue.async([e] {
        if (e->active) e->callback();
      });
  }

  size_t size() const {
    std::lock_guard lock(state_->mutex);
    return state_->entries.size();
  }

 private:
  struct Entry {
    Entry(Key k, std::function<void()> c) : key(std::move(k)), callback(std::move(c)) {}
    const Key key;
    const std::function<void()> callback;
    std::atomic<bool> active{true};
  };
  // Shared with the tokens, so a token may outlive the list.
  struct State {
    std::mutex mutex;
    std::vector<std::shared_ptr<Entry>> entries;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace qb
