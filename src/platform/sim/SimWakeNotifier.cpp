#include "platform/sim/SimWakeNotifier.hpp"

#include <algorithm>

namespace qb {

SimWakeNotifier::SimWakeNotifier(Executor& executor) : queue_(executor.makeQueue("sim.wake")) {}

ListenerToken SimWakeNotifier::observeWake(std::function<void()> observer) {
  auto entry = std::make_shared<Observer>();
  entry->callback = std::move(observer);
  {
    std::lock_guard lock(mutex_);
    observers_.push_back(entry);
  }
  std::weak_ptr<SimWakeNotifier> weakSelf = weak_from_this();
  std::weak_ptr<Observer> weakEntry = entry;
  return ListenerToken([weakSelf, weakEntry] {
    auto e = weakEntry.lock();
    if (!e) return;
    e->active = false;
    if (auto self = weakSelf.lock()) {
      std::lock_guard lock(self->mutex_);
      std::erase(self->observers_, e);
    }
  });
}

void SimWakeNotifier::postWake() {
  std::vector<std::shared_ptr<Observer>> due;
  {
    std::lock_guard lock(mutex_);
    ++posted_;
    due = observers_;
  }
  for (auto& o : due)
    queue_->async([o] {
      if (o->active) o->callback();
    });
}

size_t SimWakeNotifier::observerCount() const {
  std::lock_guard lock(mutex_);
  return observers_.size();
}

int SimWakeNotifier::wakesPosted() const {
  std::lock_guard lock(mutex_);
  return posted_;
}

}  // namespace qb
