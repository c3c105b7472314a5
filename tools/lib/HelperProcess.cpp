#include "HelperProcess.hpp"

#include "runtime/ProcessSpawn.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace qbtools {

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadlineAfter(double seconds) {
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Environment of the parent with `extra` added or replaced.
std::vector<std::string> buildEnvironment(const std::vector<std::pair<std::string, std::string>>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    std::string_view entry(*e);
    bool replaced = false;
    for (const auto& [key, value] : extra)
      if (entry.size() > key.size() && entry.starts_with(key) && entry[key.size()] == '=') replaced = true;
    if (!replaced) env.emplace_back(entry);
  }
  for (const auto& [key, value] : extra) env.push_back(key + "=" + value);
  return env;
}

}  // namespace

bool writeNoSigpipe(int fd, const char* data, size_t size) {
  sigset_t pipeSet, oldSet;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  sigset_t pendingBefore;
  sigpending(&pendingBefore);
  bool wasPending = sigismember(&pendingBefore, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSet, &oldSet);
  bool ok = true;
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(fd, data + done, size - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      ok = false;
      if (errno == EPIPE && !wasPending) {
        timespec zero{0, 0};
        sigtimedwait(&pipeSet, nullptr, &zero);
      }
      break;
    }
  }
  pthread_sigmask(SIG_SETMASK, &oldSet, nullptr);
  return ok;
}

std::string ExitStatus::describe() const {
  if (exited) return "exit " + std::to_string(code);
  const char* name = strsignal(signal);
  return "signal " + std::to_string(signal) + " (" + (name ? name : "?") + ")";
}

HelperProcess::HelperProcess(HelperOptions options) : options_(std::move(options)) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 || pipe2(stopPipe_, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");

  std::vector<std::string> args{options_.binary};
  args.insert(args.end(), options_.args.begin(), options_.args.end());
  auto envStrings = buildEnvironment(options_.env);
  std::vector<char*> envp;
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  started_ = Clock::now();
  pid_ = qb::spawnWithDefaultSignals(args, in[0], out[1], err[1], envp.data());
  int rc = pid_ < 0 ? errno : 0;
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (rc != 0) {
    ::close(in[1]);
    ::close(out[0]);
    ::close(err[0]);
    closeFd(stopPipe_[0]);
    closeFd(stopPipe_[1]);
    throw std::runtime_error("cannot start " + options_.binary + ": " + std::strerror(rc));
  }
  stdinFd_ = in[1];
  int outFd = out[0], errFd = err[0];
  stdoutThread_ = std::thread([this, outFd] { readStdout(outFd); });
  stderrThread_ = std::thread([this, errFd] { readStderr(errFd); });
  waitThread_ = std::thread([this] { reap(); });
}

HelperProcess::~HelperProcess() {
  closeStdin();
  if (running()) kill(SIGKILL);
  if (waitThread_.joinable()) waitThread_.join();
  if (stdoutThread_.joinable()) stdoutThread_.join();
  if (stderrThread_.joinable()) stderrThread_.join();
  closeFd(stopPipe_[0]);
  closeFd(stopPipe_[1]);
}

void HelperProcess::reap() {
  // Wait without reaping first, so that kill() (which checks exit_ under the lock) can
  // never signal a recycled pid.
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  {
    std::lock_guard lock(mutex_);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    ExitStatus s;
    s.when = Clock::now();
    s.exited = WIFEXITED(status);
    s.code = s.exited ? WEXITSTATUS(status) : 0;
    s.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    exit_ = s;
  }
  changed_.notify_all();
  // A grandchild may still hold the pipes open; the readers drain and stop.
  char byte = 1;
  (void)!::write(stopPipe_[1], &byte, 1);
}

namespace {

// Reads fd until end of file, or until `stopFd` becomes readable and the data already
// written has been drained (bounded, so a grandchild holding the pipe cannot keep the
// reader forever).
template <class OnBytes>
void pumpFd(int fd, int stopFd, const std::atomic<bool>& held, OnBytes onBytes) {
  std::vector<uint8_t> buf(64 * 1024);
  bool stopping = false;
  auto stopDeadline = Clock::now();
  while (true) {
    const bool holding = held.load() && !stopping;
    pollfd fds[2] = {{holding ? -1 : fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    int timeout = stopping ? 100 : holding ? 20 : -1;
    int n = ::poll(fds, stopping ? 1 : 2, timeout);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (!stopping && (fds[1].revents & POLLIN)) {
      stopping = true;
      stopDeadline = Clock::now() + std::chrono::seconds(1);
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t r = ::read(fd, buf.data(), buf.size());
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      onBytes(std::span<const uint8_t>(buf.data(), static_cast<size_t>(r)));
    } else if (stopping && n == 0) {
      break;  // quiet after the child ended
    }
    if (stopping && Clock::now() > stopDeadline) break;
  }
  ::close(fd);
}

}  // namespace

void HelperProcess::readStdout(int fd) {
  pumpFd(fd, stopPipe_[0], holdStdout_, [this](std::span<const uint8_t> bytes) {
    auto frames = frameParser_.feed(bytes);
    if (options_.onFrame)
      for (const auto& f : frames) options_.onFrame(f);
    if (!options_.keepFramePayloads)
      for (auto& f : frames) {
        f.payload.clear();
        f.payload.shrink_to_fit();
      }
    {
      std::lock_guard lock(mutex_);
      stdoutBytes_ += bytes.size();
      if (frameParser_.failed() && protocolError_.empty()) protocolError_ = frameParser_.error();
      for (auto& f : frames) frames_.push_back(std::move(f));
    }
    changed_.notify_all();
  });
  {
    std::lock_guard lock(mutex_);
    stdoutClosed_ = true;
  }
  changed_.notify_all();
}

void HelperProcess::readStderr(int fd) {
  auto deliver = [this](std::vector<Line> lines, size_t byteCount) {
    if (options_.onLine)
      for (const auto& l : lines) options_.onLine(l);
    {
      std::lock_guard lock(mutex_);
      stderrBytes_ += byteCount;
      for (auto& l : lines) lines_.push_back(std::move(l));
    }
    changed_.notify_all();
  };
  pumpFd(fd, stopPipe_[0], holdStderr_,
         [&](std::span<const uint8_t> bytes) { deliver(lineParser_.feed(bytes), bytes.size()); });
  deliver(lineParser_.finish(), 0);
  {
    std::lock_guard lock(mutex_);
    stderrClosed_ = true;
  }
  changed_.notify_all();
}

bool HelperProcess::send(std::string_view line) {
  std::string data(line);
  data.push_back('\n');
  return sendRaw(data);
}

bool HelperProcess::sendRaw(std::string_view bytes) {
  std::lock_guard lock(sendMutex_);
  if (stdinFd_ < 0) return false;
  return writeNoSigpipe(stdinFd_, bytes.data(), bytes.size());
}

void HelperProcess::holdReading(bool stdoutHeld, bool stderrHeld) {
  holdStdout_ = stdoutHeld;
  holdStderr_ = stderrHeld;
}

void HelperProcess::closeStdin() {
  std::lock_guard lock(sendMutex_);
  closeFd(stdinFd_);
}

std::optional<Line> HelperProcess::waitForLine(const std::function<bool(const Line&)>& pred, double timeoutSeconds,
                                               uint64_t from) {
  auto deadline = deadlineAfter(timeoutSeconds);
  std::unique_lock lock(mutex_);
  size_t next = static_cast<size_t>(from);
  while (true) {
    for (; next < lines_.size(); ++next)
      if (pred(lines_[next])) return lines_[next];
    if (stderrClosed_) return std::nullopt;
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
      for (; next < lines_.size(); ++next)
        if (pred(lines_[next])) return lines_[next];
      return std::nullopt;
    }
  }
}

std::optional<Line> HelperProcess::waitForResponse(std::string_view response, double timeoutSeconds, uint64_t from) {
  return waitForLine([&](const Line& l) { return l.kind == LineKind::cmdResponse && l.body == response; },
                     timeoutSeconds, from);
}

std::optional<Line> HelperProcess::waitForResponsePrefix(std::string_view prefix, double timeoutSeconds,
                                                         uint64_t from) {
  return waitForLine([&](const Line& l) { return l.kind == LineKind::cmdResponse && l.body.starts_with(prefix); },
                     timeoutSeconds, from);
}

bool HelperProcess::waitForFrames(size_t count, double timeoutSeconds, const std::function<bool(const Frame&)>& pred) {
  auto deadline = deadlineAfter(timeoutSeconds);
  std::unique_lock lock(mutex_);
  size_t next = 0, matched = 0;
  while (true) {
    for (; next < frames_.size(); ++next)
      if (!pred || pred(frames_[next])) ++matched;
    if (matched >= count) return true;
    if (stdoutClosed_) return false;
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
      for (; next < frames_.size(); ++next)
        if (!pred || pred(frames_[next])) ++matched;
      return matched >= count;
    }
  }
}

std::vector<Line> HelperProcess::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::vector<Line> HelperProcess::linesOfKind(LineKind kind) const {
  std::lock_guard lock(mutex_);
  std::vector<Line> out;
  for (const auto& l : lines_)
    if (l.kind == kind) out.push_back(l);
  return out;
}

std::vector<Frame> HelperProcess::frames() const {
  std::lock_guard lock(mutex_);
  return frames_;
}

size_t HelperProcess::lineCount() const {
  std::lock_guard lock(mutex_);
  return lines_.size();
}

size_t HelperProcess::frameCount() const {
  std::lock_guard lock(mutex_);
  return frames_.size();
}

uint64_t HelperProcess::stdoutBytes() const {
  std::lock_guard lock(mutex_);
  return stdoutBytes_;
}

uint64_t HelperProcess::stderrBytes() const {
  std::lock_guard lock(mutex_);
  return stderrBytes_;
}

std::string HelperProcess::protocolError() const {
  std::lock_guard lock(mutex_);
  return protocolError_;
}

bool HelperProcess::stdoutClosed() const {
  std::lock_guard lock(mutex_);
  return stdoutClosed_;
}

bool HelperProcess::stderrClosed() const {
  std::lock_guard lock(mutex_);
  return stderrClosed_;
}

std::optional<ExitStatus> HelperProcess::waitForExit(double timeoutSeconds) {
  std::unique_lock lock(mutex_);
  changed_.wait_until(lock, deadlineAfter(timeoutSeconds), [&] { return exit_.has_value(); });
  return exit_;
}

std::optional<ExitStatus> HelperProcess::exitStatus() const {
  std::lock_guard lock(mutex_);
  return exit_;
}

void HelperProcess::kill(int signal) {
  std::lock_guard lock(mutex_);
  if (!exit_) ::kill(pid_, signal);  // not reaped yet, so the pid is still ours
}

std::string HelperProcess::ask(std::string_view command, std::string_view prefix, double timeoutSeconds) {
  const uint64_t from = lineCount();
  if (!send(command)) return {};
  auto line = waitForResponsePrefix(prefix, timeoutSeconds, from);
  return line ? line->body : std::string();
}

}  // namespace qbtools
