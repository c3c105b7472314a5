#pragma once
// Scripted child processes: tests decide what a launched child prints and when it
// exits. Lines and the exit arrive on the child's "sim.child" queue in the order they
// were pushed. Thread-safe.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ChildProcess.hpp"
#include "runtime/Executor.hpp"

namespace qb {

class SimProcessLauncher final : public ProcessLauncher {
 public:
  // Exit status a terminated child reports (killed by SIGTERM, as a shell shows it).
  static constexpr int kTerminatedStatus = 143;

  explicit SimProcessLauncher(Executor& executor);
  std::unique_ptr<ChildProcess> launch(const std::vector<std::string>& argv, ChildProcessCallbacks callbacks,
                                       std::string& error) override;

  // The next launch fails with this reason.
  void failNextLaunch(const std::string& error);
  // To the most recently launched child that still runs; false when there is none.
  bool pushStdoutLine(const std::string& line);
  // Output bytes exactly as given (a reader gets them as one piece).
  bool pushStdoutData(const std::string& bytes);
  bool exitChild(int status);
  // Every launch attempt's argv, in order (failed ones included).
  std::vector<std::vector<std::string>> launches() const;
  int runningCount() const;

  struct ChildState;

 private:
  std::shared_ptr<ChildState> latestRunning() const;

  Executor& executor_;
  mutable std::mutex mutex_;
  std::optional<std::string> launchFailure_;
  std::vector<std::vector<std::string>> launches_;
  std::vector<std::weak_ptr<ChildState>> children_;
  int nextPid_ = 4000;
};

}  // namespace qb
