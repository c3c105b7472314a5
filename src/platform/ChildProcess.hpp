#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qb {

// A running child with its standard output read line by line. Destroying it ends the
// child (terminate, then kill) and reaps it.
class ChildProcess {
 public:
  virtual ~ChildProcess() = default;
  virtual void terminate() = 0;
  virtual bool isRunning() const = 0;
  virtual int pid() const = 0;
};

struct ChildProcessCallbacks {
  std::function<void(const std::string& line)> onStdoutLine;  // reader thread
  std::function<void(int status)> onExit;                     // reader thread, once
};

class ProcessLauncher {
 public:
  virtual ~ProcessLauncher() = default;
  // Returns none (with the reason in error) when the program could not be started.
  virtual std::unique_ptr<ChildProcess> launch(const std::vector<std::string>& argv, ChildProcessCallbacks callbacks,
                                               std::string& error) = 0;
};

}  // namespace qb
