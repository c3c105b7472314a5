#pragma once
// An Xvfb that one test starts, owns and may kill: for the X server going away under a
// stream, and for servers built without an extension. The server picks a free display
// number itself (-displayfd), so parallel runs never collide; destroying the object kills
// it (by its pid) and waits for it.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "runtime/ProcessSpawn.hpp"

namespace qb::testenv {

class PrivateXServer {
 public:
  // `extraArgs` e.g. {"-extension", "MIT-SHM"}. Check ok() afterwards.
  explicit PrivateXServer(std::vector<std::string> extraArgs = {}, const std::string& size = "1280x720x24") {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    // The write end must survive exec in the child: give it a fixed number without CLOEXEC.
    const int childFd = ::fcntl(fds[1], F_DUPFD, 10);
    std::vector<std::string> argv = {
        "Xvfb",       "-displayfd", std::to_string(childFd), "-screen", "0", size, "-nolisten", "tcp", "-noreset",
        "+extension", "RANDR"};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    pid_ = qb::spawnWithDefaultSignals(argv, -1, -1, -1);
    ::close(childFd);
    ::close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    char ch;
    while (pid_ > 0 && ::poll(&p, 1, 20000) > 0 && ::read(fds[0], &ch, 1) == 1 && ch != '\n') number += ch;
    ::close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
  }
  ~PrivateXServer() { kill(); }
  PrivateXServer(const PrivateXServer&) = delete;
  PrivateXServer& operator=(const PrivateXServer&) = delete;

  bool ok() const { return pid_ > 0 && !display_.empty(); }
  const std::string& display() const { return display_; }

  // Ends the server at once, as a crash would.
  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

}  // namespace qb::testenv
