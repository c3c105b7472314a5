#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qb {

// A running child with its standard output read line by line. Destroying it ends the
// child (terminate, then kill) and reaps it; once the destructor returns no callback
// starts (one already running may still be finishing, so callbacks hold their owner
// weakly). Methods: any thread.
class ChildProcess {
 public:
  virtual ~ChildProcess() = default;
  // Asks the child to end and returns at once; onExit follows when it has.
  virtual void terminate() = 0;
  // False once the child has exited or been terminated.
  virtual bool isRunning() const = 0;
  virtual int pid() const = 0;
};

// Both run on the child's reader thread, one at a time: the output in order, then onExit
// exactly once after the last output. Neither starts after the handle was destroyed.
// Exit status: the exit code, or 128 + the signal number for a child ended by a signal
// (as a shell shows it).
struct ChildProcessCallbacks {
  std::function<void(const std::string& line)> onStdoutLine;  // reader thread
  std::function<void(int status)> onExit;                     // reader thread, once, after the last output
  // Standard output exactly as it was read, in pieces that may split a line or a character
  // anywhere (reader thread). When set, it replaces onStdoutLine.
  std::function<void(std::string_view bytes)> onStdoutData;
};

class ProcessLauncher {
 public:
  virtual ~ProcessLauncher() = default;
  // Any thread; returns once the child runs. Starts argv[0] (a path, or a name looked up
  // on PATH) with its standard input and error on the null device. Returns none (with the
  // reason in error) when the program could not be started; then no callback is ever
  // called, and the caller reports the reason.
  virtual std::unique_ptr<ChildProcess> launch(const std::vector<std::string>& argv, ChildProcessCallbacks callbacks,
                                               std::string& error) = 0;
};

}  // namespace qb
