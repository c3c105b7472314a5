#include "host/LineQueue.hpp"

#include <unistd.h>

#include <cerrno>
#include <thread>
#include <vector>

#include "host/CommandParser.hpp"
#include "wire/Output.hpp"

namespace qb {

bool LineQueue::push(std::string line) {
  std::unique_lock lock(mutex_);
  // A line larger than the whole budget still goes in once the queue is empty.
  writable_.wait(lock, [&] { return shutDown_ || queuedBytes_ == 0 || queuedBytes_ + line.size() <= maxQueuedBytes_; });
  if (shutDown_) return false;
  queuedBytes_ += line.size();
  lines_.push_back(std::move(line));
  lock.unlock();
  readable_.notify_one();
  return true;
}

void LineQueue::finish() {
  {
    std::lock_guard lock(mutex_);
    finished_ = true;
  }
  readable_.notify_all();
}

void LineQueue::shutdown() {
  {
    std::lock_guard lock(mutex_);
    shutDown_ = true;
    lines_.clear();
    queuedBytes_ = 0;
  }
  writable_.notify_all();
  readable_.notify_all();
}

std::optional<std::string> LineQueue::nextLine() {
  std::unique_lock lock(mutex_);
  readable_.wait(lock, [&] { return !lines_.empty() || finished_ || shutDown_; });
  if (lines_.empty()) return std::nullopt;
  std::string line = std::move(lines_.front());
  lines_.pop_front();
  queuedBytes_ -= line.size();
  lock.unlock();
  writable_.notify_one();
  return line;
}

size_t LineQueue::queuedBytes() const {
  std::lock_guard lock(mutex_);
  return queuedBytes_;
}

std::shared_ptr<LineQueue> startLineReader(int fd) {
  auto queue = std::make_shared<LineQueue>();
  std::thread([queue, fd] {
    bool open = true;
    LineSplitter splitter({.onLine = [&](std::string line) { open = open && queue->push(std::move(line)); },
                           .onOverlong =
                               [](size_t length) {
                                 logToStderr("Dropped an input line of " + std::to_string(length) +
                                             " bytes (the limit is " + std::to_string(LineSplitter::kMaxLineBytes) +
                                             ")");
                               }});
    std::vector<char> chunk(64 * 1024);
    while (open) {
      ssize_t n = ::read(fd, chunk.data(), chunk.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // end of input, or an error that ends it
      splitter.feed(std::span<const char>(chunk.data(), static_cast<size_t>(n)));
    }
    if (open) splitter.finish();
    queue->finish();
  }).detach();
  return queue;
}

}  // namespace qb
