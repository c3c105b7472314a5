#include "platform/sim/SimProcessLauncher.hpp"

#include <utility>

namespace qb {

struct SimProcessLauncher::ChildState {
  int pid = 0;
  std::shared_ptr<Queue> queue;
  std::mutex mutex;
  ChildProcessCallbacks callbacks;
  bool running = true;
  bool released = false;    // the owner destroyed its handle: no callbacks any more
  std::string partialLine;  // line mode: output after the last newline (child's queue only)

  // Ends the child once; the exit callback follows any line already queued.
  void end(const std::shared_ptr<ChildState>& self, int status) {
    {
      std::lock_guard lock(mutex);
      if (!running) return;
      running = false;
    }
    queue->async([self, status] {
      std::function<void(int)> onExit;
      {
        std::lock_guard lock(self->mutex);
        if (self->released) return;
        onExit = std::exchange(self->callbacks.onExit, nullptr);
      }
      if (onExit) onExit(status);
    });
  }
};

namespace {

class SimChildProcess final : public ChildProcess {
 public:
  explicit SimChildProcess(std::shared_ptr<SimProcessLauncher::ChildState> s) : s_(std::move(s)) {}
  ~SimChildProcess() override {
    std::lock_guard lock(s_->mutex);
    s_->running = false;
    s_->released = true;
  }
  void terminate() override { s_->end(s_, SimProcessLauncher::kTerminatedStatus); }
  bool isRunning() const override {
    std::lock_guard lock(s_->mutex);
    return s_->running;
  }
  int pid() const override { return s_->pid; }

 private:
  std::shared_ptr<SimProcessLauncher::ChildState> s_;
};

}  // namespace

SimProcessLauncher::SimProcessLauncher(Executor& executor) : executor_(executor) {}

std::unique_ptr<ChildProcess> SimProcessLauncher::launch(const std::vector<std::string>& argv,
                                                         ChildProcessCallbacks callbacks, std::string& error) {
  auto state = std::make_shared<ChildState>();
  {
    std::lock_guard lock(mutex_);
    launches_.push_back(argv);
    if (launchFailure_) {
      error = *std::exchange(launchFailure_, std::nullopt);
      return nullptr;
    }
    state->pid = nextPid_++;
    std::erase_if(children_, [](auto& w) { return w.expired(); });
    children_.push_back(state);
  }
  state->queue = executor_.makeQueue("sim.child");
  state->callbacks = std::move(callbacks);
  return std::make_unique<SimChildProcess>(state);
}

void SimProcessLauncher::failNextLaunch(const std::string& error) {
  std::lock_guard lock(mutex_);
  launchFailure_ = error;
}

std::shared_ptr<SimProcessLauncher::ChildState> SimProcessLauncher::latestRunning() const {
  std::lock_guard lock(mutex_);
  for (auto it = children_.rbegin(); it != children_.rend(); ++it) {
    auto s = it->lock();
    if (!s) continue;
    std::lock_guard childLock(s->mutex);
    if (s->running) return s;
  }
  return nullptr;
}

bool SimProcessLauncher::pushStdoutLine(const std::string& line) { return pushStdoutData(line + "\n"); }

bool SimProcessLauncher::pushStdoutData(const std::string& bytes) {
  auto s = latestRunning();
  if (!s) return false;
  s->queue->async([s, bytes] {
    ChildProcessCallbacks callbacks;
    {
      std::lock_guard lock(s->mutex);
      if (s->released) return;
      callbacks = s->callbacks;
    }
    if (callbacks.onStdoutData) {
      callbacks.onStdoutData(bytes);
      return;
    }
    // Line readers see whole lines only, as the real reader splits them.
    s->partialLine += bytes;
    size_t start = 0;
    for (size_t nl; (nl = s->partialLine.find('\n', start)) != std::string::npos; start = nl + 1)
      if (callbacks.onStdoutLine) callbacks.onStdoutLine(s->partialLine.substr(start, nl - start));
    s->partialLine.erase(0, start);
  });
  return true;
}

bool SimProcessLauncher::exitChild(int status) {
  auto s = latestRunning();
  if (!s) return false;
  s->end(s, status);
  return true;
}

std::vector<std::vector<std::string>> SimProcessLauncher::launches() const {
  std::lock_guard lock(mutex_);
  return launches_;
}

int SimProcessLauncher::runningCount() const {
  int n = 0;
  std::lock_guard lock(mutex_);
  for (auto& w : children_)
    if (auto s = w.lock()) {
      std::lock_guard childLock(s->mutex);
      if (s->running) ++n;
    }
  return n;
}

}  // namespace qb
