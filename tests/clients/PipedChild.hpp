#pragma once
// A test client started with pipes on its standard input and output, so a driver can send it
// commands and read its lines.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ChildLines.hpp"
#include "HelperProcess.hpp"
#include "runtime/ProcessSpawn.hpp"

namespace qbtest {

struct PipedChild {
  pid_t pid = -1;  // -1: nothing started, both descriptors -1
  int in = -1;     // the child's standard input, ours to write and close
  int out = -1;    // the child's standard output, ours to read and close
};

// `err`: the child's standard error (-1: /dev/null); `envp` null: this environment.
inline PipedChild spawnPiped(const std::vector<std::string>& argv, int err, char* const* envp = nullptr) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return {};
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return {};
  }
  const pid_t pid = qb::spawnWithDefaultSignals(argv, in[0], out[1], err, envp);
  ::close(in[0]);
  ::close(out[1]);
  if (pid <= 0) {
    ::close(in[1]);
    ::close(out[0]);
    return {};
  }
  return {pid, in[1], out[0]};
}

// A client whose lines are read on a thread of their own and which takes commands a line
// each. It ends with the object: its input closes, and it is killed if it lingers.
class PipedClient {
 public:
  PipedClient(const std::vector<std::string>& argv, int err) {
    const PipedChild child = spawnPiped(argv, err);
    pid_ = child.pid;
    in_ = child.in;
    if (child.out >= 0) lines_.start(child.out);
  }
  ~PipedClient() {
    if (in_ >= 0) ::close(in_);
    if (pid_ > 0 && !exitsWithin(2.0)) kill();
    lines_.join();
  }
  PipedClient(const PipedClient&) = delete;
  PipedClient& operator=(const PipedClient&) = delete;

  pid_t pid() const { return pid_; }
  ChildLines& lines() { return lines_; }

  // Sends one line; false when the client is gone (which must not end the test with SIGPIPE).
  bool send(const std::string& text) {
    const std::string line = text + "\n";
    return in_ >= 0 && qbtools::writeNoSigpipe(in_, line.data(), line.size());
  }
  // Sends `text` and waits for the first line after it that `answered` accepts.
  std::optional<std::string> ask(const std::string& text, double seconds,
                                 const std::function<bool(const std::string&)>& answered) {
    const size_t from = lines_.size();
    if (!send(text)) return std::nullopt;
    return lines_.waitFor({}, from, seconds, answered);
  }

  // Ends the client at once, as a crash would.
  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  bool exitsWithin(double seconds) {
    // A pidfd turns readable when the child ends, so the wait needs no polling interval.
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (fd >= 0) {
      pollfd p{fd, POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(seconds * 1000));
      ::close(fd);
    }
    if (::waitpid(pid_, nullptr, WNOHANG) != pid_) return false;
    pid_ = -1;
    return true;
  }

  pid_t pid_ = -1;
  int in_ = -1;
  ChildLines lines_;
};

}  // namespace qbtest
