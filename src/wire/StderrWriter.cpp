#include "wire/StderrWriter.hpp"

#include <unistd.h>

#include <array>

#include "wire/Output.hpp"

namespace qb {

namespace {

thread_local bool callerMayWait = false;

constexpr std::array<std::string_view, 9> kProtocolPrefixes = {"CMD_RESPONSE:",
                                                               "EVENT:",
                                                               "MIC_EVENT:",
                                                               "MIC_APP_EVENT:",
                                                               "MIC_APP_STOP_EVENT:",
                                                               "MIC_APP_ERROR:",
                                                               "DEVICE_DIAGNOSTIC:",
                                                               "RUNNING_MICS_SAMPLE:",
                                                               "ERROR:"};  // the only answer a failed SCREENSHOT gets

}  // namespace

StderrWriter::Kind StderrWriter::kindOf(std::string_view line) {
  for (auto prefix : kProtocolPrefixes)
    if (line.starts_with(prefix)) return Kind::protocol;
  return Kind::log;
}

StderrWriter::StderrWriter(int fd) : fd_(fd), thread_([this] { run(); }) {}

StderrWriter::~StderrWriter() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  queued_.notify_all();
  thread_.join();
}

void StderrWriter::setCallerMayWait(bool mayWait) { callerMayWait = mayWait; }

StderrWriter& StderrWriter::process() {
  static auto* writer = new StderrWriter(STDERR_FILENO);
  return *writer;
}

void StderrWriter::write(std::string line, Kind kind) {
  std::unique_lock lock(mutex_);
  if (callerMayWait) drained_.wait(lock, [&] { return backlog_ <= kMaxBacklog || stopping_; });
  if (kind == Kind::log) {
    // A line longer than the whole allowance still goes when nothing else waits.
    if (logBacklog_ > 0 && logBacklog_ + line.size() > kMaxLogBacklog) {
      ++droppedLogLines_;
      return;
    }
    if (droppedLogLines_ > 0) {
      // Said where the gap is, once there is room again.
      std::string notice =
          "Dropped " + std::to_string(droppedLogLines_) + " log lines while standard error was not being read\n";
      droppedLogLines_ = 0;
      logBacklog_ += notice.size();
      backlog_ += notice.size();
      lines_.push_back({std::move(notice), Kind::log});
      ++queuedCount_;
    }
    logBacklog_ += line.size();
  }
  backlog_ += line.size();
  lines_.push_back({std::move(line), kind});
  ++queuedCount_;
  lock.unlock();
  queued_.notify_one();
}

void StderrWriter::flush() {
  std::unique_lock lock(mutex_);
  const uint64_t target = queuedCount_;
  drained_.wait(lock, [&] { return writtenCount_ >= target; });
}

void StderrWriter::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    queued_.wait(lock, [&] { return !lines_.empty() || stopping_; });
    if (lines_.empty()) return;
    Entry entry = std::move(lines_.front());
    lines_.pop_front();
    lock.unlock();
    writeAll(fd_, {reinterpret_cast<const uint8_t*>(entry.text.data()), entry.text.size()});
    lock.lock();
    backlog_ -= entry.text.size();
    if (entry.kind == Kind::log) logBacklog_ -= entry.text.size();
    ++writtenCount_;
    drained_.notify_all();
  }
}

}  // namespace qb
