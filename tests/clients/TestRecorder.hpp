#pragma once
// Drives build/qb-test-recorder from a test: starts it with the given options, sends its
// commands and waits for the lines it prints ("ready ...", "corked", "uncorked"). The
// recorder ends with the object (asked to quit, killed if it does not).
//
// Thread-safe. Header-only so that the backend, end-to-end and tool tests share it.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Spawn.hpp"

namespace qbtest {

class TestRecorder {
 public:
  // `binary`: path of qb-test-recorder; `options`: its flags ("--source=mic1", "--peak").
  TestRecorder(const std::string& binary, const std::vector<std::string>& options) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return;
    if (::pipe2(out, O_CLOEXEC) != 0) {
      ::close(in[0]);
      ::close(in[1]);
      return;
    }
    std::vector<std::string> argv{binary};
    argv.insert(argv.end(), options.begin(), options.end());
    pid_ = qbtools::spawnWithDefaultSignals(argv, in[0], out[1], 2);
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    reader_ = std::thread([this, fd = out[0]] { readLines(fd); });
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
    if (reader_.joinable()) reader_.join();
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
    std::unique_lock lock(mutex_);
    std::string found;
    changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
      for (const auto& l : lines_)
        if (l.rfind(prefix, 0) == 0) {
          found = l;
          return true;
        }
      return closed_;
    });
    return found;
  }

 private:
  bool command(const std::string& word, const std::string& answer, double seconds) {
    size_t before;
    {
      std::lock_guard lock(mutex_);
      before = count(answer);
    }
    if (!send(word)) return false;
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
      return count(answer) > before || closed_;
    }) && count(answer) > before;
  }

  size_t count(const std::string& line) const {
    size_t n = 0;
    for (const auto& l : lines_) n += l == line;
    return n;
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

  void readLines(int fd) {
    std::string partial;
    char buf[512];
    for (;;) {
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) break;
      partial.append(buf, static_cast<size_t>(n));
      size_t nl;
      while ((nl = partial.find('\n')) != std::string::npos) {
        std::lock_guard lock(mutex_);
        lines_.push_back(partial.substr(0, nl));
        partial.erase(0, nl + 1);
        changed_.notify_all();
      }
    }
    ::close(fd);
    std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
  }

  bool waitExit(double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  pid_t pid_ = -1;
  int stdin_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  bool closed_ = false;
};

}  // namespace qbtest
