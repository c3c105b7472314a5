#include "platform/linux/identity/LinuxProcessLauncher.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "runtime/ProcessSpawn.hpp"

namespace qb {

namespace {

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  ~Fd() { reset(); }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int get() const { return fd_; }

 private:
  int fd_ = -1;
};

bool makePipe(Fd& readEnd, Fd& writeEnd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  readEnd = Fd(fds[0]);
  writeEnd = Fd(fds[1]);
  return true;
}

class LinuxChildProcess final : public ChildProcess {
 public:
  LinuxChildProcess(pid_t pid, Fd stdoutFd, Fd wakeRead, Fd wakeWrite, ChildProcessCallbacks callbacks,
                    double terminateGrace)
      : pid_(pid),
        stdout_(std::move(stdoutFd)),
        wakeRead_(std::move(wakeRead)),
        wakeWrite_(std::move(wakeWrite)),
        callbacks_(std::move(callbacks)),
        terminateGrace_(terminateGrace) {
    reader_ = std::thread([this] { readerMain(); });
  }

  ~LinuxChildProcess() override {
    {
      std::lock_guard lock(mutex_);
      released_ = true;
      signalLocked(SIGTERM);
    }
    // The reader stops reading (a grandchild may hold the pipe open) and waits for the exit.
    const char byte = 0;
    [[maybe_unused]] auto n = ::write(wakeWrite_.get(), &byte, 1);
    {
      std::unique_lock lock(mutex_);
      const auto grace = std::chrono::duration<double>(terminateGrace_);
      if (!exitedCv_.wait_for(lock, grace, [this] { return exited_; })) signalLocked(SIGKILL);
    }
    if (reader_.get_id() == std::this_thread::get_id())
      reader_.detach();  // destroyed from our own exit callback: the thread is ending anyway
    else
      reader_.join();
  }

  void terminate() override {
    std::lock_guard lock(mutex_);
    signalLocked(SIGTERM);
  }
  bool isRunning() const override {
    std::lock_guard lock(mutex_);
    return !exited_;
  }
  int pid() const override { return pid_; }

 private:
  void signalLocked(int sig) {
    if (!reaped_) ::kill(pid_, sig);
  }

  bool released() {
    std::lock_guard lock(mutex_);
    return released_;
  }

  void deliver(std::string_view bytes) {
    if (released()) return;
    if (callbacks_.onStdoutData) {
      callbacks_.onStdoutData(bytes);
      return;
    }
    partial_.append(bytes);
    size_t start = 0;
    for (size_t nl; (nl = partial_.find('\n', start)) != std::string::npos; start = nl + 1)
      if (callbacks_.onStdoutLine) callbacks_.onStdoutLine(partial_.substr(start, nl - start));
    partial_.erase(0, start);
  }

  void readerMain() {
    std::string buffer(64 * 1024, '\0');
    for (;;) {
      pollfd fds[2] = {{stdout_.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[1].revents) break;
      ssize_t n = ::read(stdout_.get(), buffer.data(), buffer.size());
      if (n > 0) {
        deliver(std::string_view(buffer.data(), static_cast<size_t>(n)));
        continue;
      }
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      break;  // end of file or a read error
    }
    if (!partial_.empty() && callbacks_.onStdoutLine && !callbacks_.onStdoutData && !released())
      callbacks_.onStdoutLine(std::exchange(partial_, {}));

    // Wait without reaping, so that the PID stays ours until the flag says it is gone.
    siginfo_t info{};
    int rc;
    do {
      rc = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT);
    } while (rc != 0 && errno == EINTR);
    int status = rc == 0 ? (info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status) : -1;
    std::function<void(int)> onExit;
    {
      std::lock_guard lock(mutex_);
      ::waitpid(pid_, nullptr, 0);
      exited_ = true;
      reaped_ = true;
      if (!released_) onExit = std::exchange(callbacks_.onExit, nullptr);
    }
    exitedCv_.notify_all();
    if (onExit) onExit(status);
  }

  const pid_t pid_;
  Fd stdout_;
  Fd wakeRead_;
  Fd wakeWrite_;
  ChildProcessCallbacks callbacks_;
  const double terminateGrace_;
  std::string partial_;  // reader thread only

  mutable std::mutex mutex_;
  std::condition_variable exitedCv_;
  bool exited_ = false;
  bool reaped_ = false;
  bool released_ = false;
  std::thread reader_;
};

}  // namespace

std::unique_ptr<ChildProcess> LinuxProcessLauncher::launch(const std::vector<std::string>& argv,
                                                           ChildProcessCallbacks callbacks, std::string& error) {
  if (argv.empty() || argv[0].empty()) {
    error = "no program given";
    return nullptr;
  }
  Fd outRead, outWrite, wakeRead, wakeWrite;
  if (!makePipe(outRead, outWrite) || !makePipe(wakeRead, wakeWrite)) {
    error = std::strerror(errno);
    return nullptr;
  }
  const pid_t pid = spawnWithDefaultSignals(argv, -1, outWrite.get(), -1);
  if (pid < 0) {
    error = std::strerror(errno);
    return nullptr;
  }
  outWrite.reset();  // the child holds the only write end: its exit ends our reads
  return std::make_unique<LinuxChildProcess>(pid, std::move(outRead), std::move(wakeRead), std::move(wakeWrite),
                                             std::move(callbacks), terminateGrace_);
}

}  // namespace qb
