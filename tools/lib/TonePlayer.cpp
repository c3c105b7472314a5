#include "TonePlayer.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <numbers>
#include <utility>
#include <vector>

#include "runtime/ProcessSpawn.hpp"

namespace qbtools {

namespace {
std::string feedSink(std::string sink) { return sink == "mic1" || sink == "mic2" ? sink + "_feed" : sink; }
}  // namespace

TonePlayer::TonePlayer(std::string sink, double frequency, double amplitude, int latencyMs, double seconds)
    : frequency_(frequency), amplitude_(amplitude) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  const std::vector<std::string> argv{"pacat",
                                      "--playback",
                                      "--device=" + feedSink(std::move(sink)),
                                      "--format=s16le",
                                      "--rate=48000",
                                      "--channels=1",
                                      "--latency-msec=" + std::to_string(latencyMs),
                                      "--client-name=quellbrook-tone",
                                      "--stream-name=tone " + std::to_string(static_cast<int>(frequency)) + " Hz"};
  pid_ = qb::spawnWithDefaultSignals(argv, fds[0], -1, -1);
  ::close(fds[0]);
  if (pid_ <= 0) {
    ::close(fds[1]);
    return;
  }
  stdinFd_ = fds[1];
  const uint64_t frames = seconds > 0 ? static_cast<uint64_t>(std::llround(seconds * 48000)) : UINT64_MAX;
  writer_ = std::thread([this, frames] { write(frames); });
}

TonePlayer::~TonePlayer() {
  stop_ = true;
  // Not reaped yet, so the pid cannot have been reused; killing also ends a write blocked on
  // a full pipe (EPIPE).
  if (pid_ > 0 && !reaped_) ::kill(pid_, SIGKILL);
  if (writer_.joinable()) writer_.join();
  if (stdinFd_ >= 0) ::close(stdinFd_);
  wait();
}

bool TonePlayer::running() const {
  if (pid_ <= 0 || reaped_) return false;
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

int TonePlayer::wait() {
  if (pid_ <= 0) return -1;
  if (!reaped_) {
    int status = 0;
    pid_t r;
    while ((r = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    status_ = r == pid_ && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  return status_;
}

void TonePlayer::write(uint64_t frames) {
  // A write into the pipe of a killed pacat raises SIGPIPE in this thread: keep it blocked
  // here so that it only fails the write.
  sigset_t pipeSet;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSet, nullptr);
  constexpr uint64_t kChunkFrames = 480;  // 10 ms
  std::vector<int16_t> chunk(kChunkFrames);
  double phase = 0;  // in cycles
  const double step = frequency_ / 48000.0;
  while (!stop_ && frames > 0) {
    const uint64_t n = std::min(frames, kChunkFrames);
    for (uint64_t i = 0; i < n; ++i) {
      chunk[i] = static_cast<int16_t>(std::lround(amplitude_ * 32767.0 * std::sin(2 * std::numbers::pi * phase)));
      phase += step;
      if (phase >= 1) phase -= 1;
    }
    frames -= n;
    const auto* p = reinterpret_cast<const char*>(chunk.data());
    size_t left = n * sizeof(int16_t);
    while (left > 0) {
      ssize_t w = ::write(stdinFd_, p, left);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return;
      p += w;
      left -= static_cast<size_t>(w);
    }
  }
  // End of input: pacat plays what it has and ends.
  ::close(std::exchange(stdinFd_, -1));
}

double toneLevel(double amplitude) { return amplitude / std::numbers::sqrt2; }

}  // namespace qbtools
