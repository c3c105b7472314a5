#pragma once
// The one writer of standard error: every text line goes through its queue to its own
// thread, which writes each line whole and in order. A host that stops reading then
// stalls nobody but that thread: capture and encode threads hand their lines over and
// go on.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace qb {

class StderrWriter {
 public:
  // Log text waiting beyond this is dropped (and counted) until the backlog drains.
  static constexpr size_t kMaxLogBacklog = 1 << 20;
  // Threads that may wait (the command loop) wait while this much waits to be written,
  // so that a host that floods commands and reads no answers is held up as by a full
  // pipe instead of growing the helper's memory.
  static constexpr size_t kMaxBacklog = 16 << 20;

  // Lines that answer or inform the host are never dropped; everything else is log text.
  enum class Kind { protocol, log };
  static Kind kindOf(std::string_view line);

  explicit StderrWriter(int fd);
  // Writes what is queued, then ends the thread.
  ~StderrWriter();
  StderrWriter(const StderrWriter&) = delete;
  StderrWriter& operator=(const StderrWriter&) = delete;

  // Queues one line (ending in "\n"). Returns at once, unless the calling thread may
  // wait and the backlog is over kMaxBacklog. Thread-safe.
  void write(std::string line, Kind kind);
  // Returns once every line queued before the call has been handed to the descriptor.
  void flush();

  // Whether lines written from the calling thread may wait for the backlog to shrink.
  // Off for every thread unless it says otherwise.
  static void setCallerMayWait(bool mayWait);

  // The process's writer on descriptor 2, started on first use and never destroyed (lines
  // may be written while the process exits).
  static StderrWriter& process();

 private:
  struct Entry {
    std::string text;
    Kind kind;
  };
  void run();

  const int fd_;
  std::mutex mutex_;
  std::condition_variable queued_;
  std::condition_variable drained_;
  std::deque<Entry> lines_;
  size_t backlog_ = 0;     // bytes queued, all kinds
  size_t logBacklog_ = 0;  // bytes of log text queued
  uint64_t droppedLogLines_ = 0;
  uint64_t queuedCount_ = 0;   // lines ever queued
  uint64_t writtenCount_ = 0;  // lines ever handed to the descriptor
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace qb
