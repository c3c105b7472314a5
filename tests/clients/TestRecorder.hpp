#pragma once
// Drives build/qb-test-recorder from a test: starts it with the given options, sends its
// commands and waits for the lines it prints ("ready ...", "corked", "uncorked"). The
// recorder ends with the object (asked to quit, killed if it does not).
//
// Thread-safe. Header-only so that the backend, end-to-end and tool tests share it.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ChildLines.hpp"
#include "PipedChild.hpp"

namespace qbtest {

class TestRecorder {
 public:
  // `binary`: path of qb-test-recorder; `options`: its flags ("--source=mic1", "--peak").
  TestRecorder(const std::string& binary, const std::vector<std::string>& options) {
    std::vector<std::string> argv{binary};
    argv.insert(argv.end(), options.begin(), options.end());
    const PipedChild child = spawnPiped(argv, 2);
    pid_ = child.pid;
    stdin_ = child.in;
    if (child.out >= 0) lines_.start(child.out);
  }

  ~TestRecorder() {
    send("quit");
    if (stdin_ >= 0) ::close(stdin_);
    if (pid_ > 0) {
      if (!waitExit(2.0)) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
      }
    }
    lines_.join();
  }

  TestRecorder(const TestRecorder&) = delete;
  TestRecorder& operator=(const TestRecorder&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // Waits until it records ("ready ..."); that line, or empty after the timeout.
  std::string waitReady(double seconds = 5.0) { return waitForLine("ready ", seconds); }
  bool cork(double seconds = 5.0) { return command("cork", "corked", seconds); }
  bool uncork(double seconds = 5.0) { return command("uncork", "uncorked", seconds); }

  // The first line printed since the start that begins with `prefix`, or empty.
  std::string waitForLine(const std::string& prefix, double seconds) {
    return lines_.waitFor(prefix, 0, seconds).value_or("");
  }

 private:
  bool command(const std::string& word, const std::string& answer, double seconds) {
    const size_t from = lines_.size();
    if (!send(word)) return false;
    return lines_.waitFor(answer, from, seconds, [&](const std::string& l) { return l == answer; }).has_value();
  }

  bool send(const std::string& word) {
    if (stdin_ < 0) return false;
    const std::string line = word + "\n";
    // The recorder may be gone: a closed pipe must not end the test with SIGPIPE.
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    const bool ok = ::write(stdin_, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    if (!ok) {
      // Swallow the SIGPIPE the failed write left pending.
      timespec zero{0, 0};
      sigtimedwait(&block, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return ok;
  }

  bool waitExit(double seconds) {
    // A pidfd turns readable when the child ends, so the wait needs no polling interval.
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (fd >= 0) {
      pollfd p{fd, POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(seconds * 1000));
      ::close(fd);
    }
    return ::waitpid(pid_, nullptr, WNOHANG) == pid_;
  }

  pid_t pid_ = -1;
  int stdin_ = -1;
  ChildLines lines_;
};

}  // namespace qbtest
