#pragma once
// The lines a test client prints, read on a thread of their own so that a busy client never
// blocks on a full pipe, and waited for by the test. Thread-safe.

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qbtest {

class ChildLines {
 public:
  ChildLines() = default;
  ~ChildLines() { join(); }
  ChildLines(const ChildLines&) = delete;
  ChildLines& operator=(const ChildLines&) = delete;

  // Reads `fd` (and closes it) until the client closes its end.
  void start(int fd) {
    reader_ = std::thread([this, fd] { read(fd); });
  }
  // Waits for the reader to see the end of output.
  void join() {
    if (reader_.joinable()) reader_.join();
  }

  size_t size() const {
    std::lock_guard lock(mutex_);
    return lines_.size();
  }

  // The first line from index `from` on that starts with `prefix` and satisfies `pred`; none
  // after `seconds` or once the output ended without one.
  std::optional<std::string> waitFor(
      const std::string& prefix, size_t from, double seconds,
      const std::function<bool(const std::string&)>& pred = [](const std::string&) { return true; }) const {
    std::unique_lock lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
      for (size_t i = from; i < lines_.size(); ++i)
        if (lines_[i].rfind(prefix, 0) == 0 && pred(lines_[i])) return lines_[i];
      from = lines_.size();
      if (closed_ || changed_.wait_until(lock, deadline) == std::cv_status::timeout) return std::nullopt;
    }
  }

  // Every line so far that starts with `prefix`.
  std::vector<std::string> startingWith(const std::string& prefix) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (auto& l : lines_)
      if (l.rfind(prefix, 0) == 0) out.push_back(l);
    return out;
  }

 private:
  void read(int fd) {
    std::string pending;
    char buf[4096];
    for (;;) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) break;
      pending.append(buf, size_t(n));
      size_t nl;
      while ((nl = pending.find('\n')) != std::string::npos) {
        std::lock_guard lock(mutex_);
        lines_.push_back(pending.substr(0, nl));
        pending.erase(0, nl + 1);
        changed_.notify_all();
      }
    }
    ::close(fd);
    std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
  }

  std::thread reader_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> lines_;
  bool closed_ = false;
};

}  // namespace qbtest
