#include "runtime/Executor.hpp"

namespace qb {

namespace {

void armNext(std::weak_ptr<Queue> weakQueue, double delay, double interval, TaskHandle handle,
             std::shared_ptr<Task> task) {
  auto queue = weakQueue.lock();
  if (!queue || handle.isCancelled()) return;
  queue->asyncAfter(delay, [weakQueue, interval, handle, task] {
    if (handle.isCancelled()) return;
    armNext(weakQueue, interval, interval, handle, task);
    (*task)();
  });
}

}  // namespace

TaskHandle scheduleRepeating(const std::shared_ptr<Queue>& queue, double firstDelay, double interval, Task task) {
  auto handle = TaskHandle::make();
  armNext(queue, firstDelay, interval, handle, std::make_shared<Task>(std::move(task)));
  return handle;
}

}  // namespace qb
