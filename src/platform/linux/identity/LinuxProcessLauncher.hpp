#pragma once
// Child processes with their standard output on a pipe, read on a thread of their own.
//
// Each child has one reader thread: it reads standard output until end of file, then waits
// for the child to exit, reaps it and calls onExit. A child is signalled only while it has
// not been reaped, so a recycled PID is never hit. Destroying the handle sends SIGTERM,
// gives the child `terminateGrace` seconds, then sends SIGKILL, and returns once the child
// is reaped and the reader has ended; no callback runs after that.

#include <memory>
#include <string>
#include <vector>

#include "platform/ChildProcess.hpp"

namespace qb {

class LinuxProcessLauncher final : public ProcessLauncher {
 public:
  explicit LinuxProcessLauncher(double terminateGrace = 2.0) : terminateGrace_(terminateGrace) {}
  // Any thread.
  std::unique_ptr<ChildProcess> launch(const std::vector<std::string>& argv, ChildProcessCallbacks callbacks,
                                       std::string& error) override;

 private:
  double terminateGrace_;
};

}  // namespace qb
