#pragma once
// The line stream between the reader thread and the command loop.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace qb {

// Where the command loop takes its lines from. nextLine() blocks until a line is there
// and returns nothing once input has ended.
class LineSource {
 public:
  virtual ~LineSource() = default;
  virtual std::optional<std::string> nextLine() = 0;
  // The loop takes no more lines; the producer may stop.
  virtual void shutdown() {}
};

// First-in-first-out lines from one producer thread to one consumer. The reader never
// waits for the loop to take a command, except when a flood holds more than
// maxQueuedBytes: then it stops reading (the host's writes block on the full pipe)
// until the loop catches up, so hostile input cannot grow memory without bound.
// Thread-safe.
class LineQueue final : public LineSource {
 public:
  static constexpr size_t kMaxQueuedBytes = 16u << 20;

  explicit LineQueue(size_t maxQueuedBytes = kMaxQueuedBytes) : maxQueuedBytes_(maxQueuedBytes) {}

  // False once the consumer has shut the queue (the line is dropped).
  bool push(std::string line);
  // End of input: nextLine() returns nothing after the queued lines.
  void finish();
  // The consumer is gone: pending and blocked pushes fail.
  void shutdown() override;
  std::optional<std::string> nextLine() override;

  size_t queuedBytes() const;

 private:
  const size_t maxQueuedBytes_;
  mutable std::mutex mutex_;
  std::condition_variable readable_;
  std::condition_variable writable_;
  std::deque<std::string> lines_;
  size_t queuedBytes_ = 0;
  bool finished_ = false;
  bool shutDown_ = false;
};

// Starts the detached reader thread: reads `fd` in chunks until end of input, cuts
// lines (LineSplitter), logs and drops overlong ones, and feeds the returned queue.
// The thread shares the queue, so the caller may drop it at any time.
std::shared_ptr<LineQueue> startLineReader(int fd);

}  // namespace qb
