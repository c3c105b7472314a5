#pragma once
// Runs a helper binary as a child process the way a host does: commands on its standard
// input, frames and lines collected from its standard output and error on reader
// threads. All methods are thread-safe.

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "ProtocolReader.hpp"

namespace qbtools {

struct HelperOptions {
  std::string binary;
  std::vector<std::string> args;
  // Added to (or replacing entries of) the parent's environment.
  std::vector<std::pair<std::string, std::string>> env;
  // Long recordings can drop payloads and keep only the headers.
  bool keepFramePayloads = true;
  // Called on the reader threads as frames and lines arrive, before waiters wake.
  std::function<void(const Frame&)> onFrame;
  std::function<void(const Line&)> onLine;
};

// Writes all bytes to a pipe without letting SIGPIPE reach the process (the signal is blocked
// for this thread during the write, and a pending one the write caused is consumed); false when
// the reader is gone or the write fails.
bool writeNoSigpipe(int fd, const char* data, size_t size);

struct ExitStatus {
  bool exited = false;  // true: exit status in `code`; false: ended by `signal`
  int code = 0;
  int signal = 0;
  Timestamp when{};
  std::string describe() const;  // "exit 0", "signal 9 (Killed)"
};

class HelperProcess {
 public:
  // Starts the child; throws std::runtime_error when it cannot be started. The child
  // gets default dispositions for every signal and an empty signal mask, whatever the
  // parent has set.
  explicit HelperProcess(HelperOptions options);
  // Kills the child (SIGKILL) if it still runs and waits for it and the readers.
  ~HelperProcess();
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  pid_t pid() const { return pid_; }
  Timestamp started() const { return started_; }

  // Writes line + "\n". False when standard input is closed or the child is gone (no
  // SIGPIPE reaches the caller).
  bool send(std::string_view line);
  // Writes bytes unchanged.
  bool sendRaw(std::string_view bytes);
  void closeStdin();

  // Stops reading standard output and/or error (their pipes fill and the helper's
  // writes wait), as a stalled host would; false resumes.
  void holdReading(bool stdoutHeld, bool stderrHeld);

  // Waits until a line with index >= `from` satisfies `pred`; returns it, or nothing
  // after `timeoutSeconds`.
  std::optional<Line> waitForLine(const std::function<bool(const Line&)>& pred, double timeoutSeconds,
                                  uint64_t from = 0);
  // Waits for "CMD_RESPONSE:" + `response` exactly.
  std::optional<Line> waitForResponse(std::string_view response, double timeoutSeconds, uint64_t from = 0);
  // Waits for a "CMD_RESPONSE:" line whose body starts with `prefix`.
  std::optional<Line> waitForResponsePrefix(std::string_view prefix, double timeoutSeconds, uint64_t from = 0);
  // Sends `command` and returns the body of the first answer after it that starts with
  // `prefix`; empty when the line could not be sent or no answer came in time.
  std::string ask(std::string_view command, std::string_view prefix, double timeoutSeconds);
  // Waits until at least `count` frames satisfy `pred` (all frames when pred is empty).
  bool waitForFrames(size_t count, double timeoutSeconds, const std::function<bool(const Frame&)>& pred = {});

  // Snapshots of what arrived so far.
  std::vector<Line> lines() const;
  std::vector<Line> linesOfKind(LineKind kind) const;
  std::vector<Frame> frames() const;
  size_t lineCount() const;
  size_t frameCount() const;
  uint64_t stdoutBytes() const;
  uint64_t stderrBytes() const;
  std::string protocolError() const;  // empty while the frame stream is sound
  bool stdoutClosed() const;
  bool stderrClosed() const;

  // Status once the child has ended, else nothing after the timeout.
  std::optional<ExitStatus> waitForExit(double timeoutSeconds);
  std::optional<ExitStatus> exitStatus() const;
  bool running() const { return !exitStatus().has_value(); }
  void kill(int signal);

 private:
  void readStdout(int fd);
  void readStderr(int fd);
  void reap();

  HelperOptions options_;
  pid_t pid_ = -1;
  Timestamp started_{};
  int stdinFd_ = -1;
  int stopPipe_[2] = {-1, -1};  // wakes the readers when the child is gone
  std::mutex sendMutex_;
  std::atomic<bool> holdStdout_{false};
  std::atomic<bool> holdStderr_{false};

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  FrameParser frameParser_;  // stdout reader thread only
  LineParser lineParser_;    // stderr reader thread only
  std::string protocolError_;
  std::vector<Frame> frames_;
  std::vector<Line> lines_;
  uint64_t stdoutBytes_ = 0;
  uint64_t stderrBytes_ = 0;
  bool stdoutClosed_ = false;
  bool stderrClosed_ = false;
  std::optional<ExitStatus> exit_;

  std::thread stdoutThread_;
  std::thread stderrThread_;
  std::thread waitThread_;
};

}  // namespace qbtools
