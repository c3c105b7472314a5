#pragma once
// A sine played into a sound-server sink: generated here (48 kHz mono s16le) and written to
// pacat through a pipe. Mono, because both servers copy one channel to every channel of a
// sink alike, while they mix two channels down into a mono sink at different levels (PipeWire
// at -3 dB each rather than -6), so its level is exact in every sink. The tests, the
// benchmarks and scripts/test-env all play their tones with it.

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace qbtools {

class TonePlayer {
 public:
  // sink: a sink name; "mic1"/"mic2" mean the sinks that feed those microphones of the test
  // environment. seconds 0: until destroyed; otherwise exactly that long, then pacat drains
  // and ends (see wait()). Destroying the player kills pacat at once, so the tone stops
  // within the server's latency.
  TonePlayer(std::string sink, double frequency, double amplitude, int latencyMs = 100, double seconds = 0);
  ~TonePlayer();
  TonePlayer(const TonePlayer&) = delete;
  TonePlayer& operator=(const TonePlayer&) = delete;

  bool started() const { return pid_ > 0; }
  bool running() const;
  // Waits until pacat has ended (for a tone of limited length: once it has been played);
  // its exit status, or -1 when it did not start or ended by a signal.
  int wait();

 private:
  void write(uint64_t frames);

  double frequency_;
  double amplitude_;
  pid_t pid_ = -1;
  int stdinFd_ = -1;
  int status_ = -1;
  bool reaped_ = false;
  std::atomic<bool> stop_{false};
  std::thread writer_;
};

// The level (RMS relative to full scale) a sine of this amplitude shows.
double toneLevel(double amplitude);

}  // namespace qbtools
