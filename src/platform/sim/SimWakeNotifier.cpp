#include "platform/sim/SimWakeNotifier.hpp"

namespace qb {

SimWakeNotifier::SimWakeNotifier(Executor& executor) : queue_(executor.makeQueue("sim.wake")) {}

ListenerToken SimWakeNotifier::observeWake(std::function<void()> observer) {
  return observers_.add({}, std::move(observer));
}

void SimWakeNotifier::postWake() {
  ++posted_;
  observers_.notify(*queue_, [](std::monostate) { return true; });
}

size_t SimWakeNotifier::observerCount() const { return observers_.size(); }

int SimWakeNotifier::wakesPosted() const { return posted_; }

}  // namespace qb
