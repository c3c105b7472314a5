#pragma once

#include <algorithm>
#include <cstdint>

namespace qb {

// The due times of a test source's playback loop: a fixed grid of periods from the
// loop's start, so that the time each step takes does not slow playback down. After a
// long lag (a suspended machine, a starved pool) the grid restarts from now instead of
// delivering the missed periods in a burst.
class PlaybackSchedule {
 public:
  static constexpr double kMaxLag = 0.2;

  explicit PlaybackSchedule(double period) : period_(period) {}
  void begin(double now) {
    origin_ = now;
    ticks_ = 0;
  }
  // When the step running now was due: the time its audio plays at.
  double currentDue() const { return origin_ + static_cast<double>(ticks_) * period_; }
  // Seconds from now until the next step is due.
  double delayToNext(double now) {
    ++ticks_;
    double due = origin_ + static_cast<double>(ticks_) * period_;
    if (now - due > kMaxLag) {
      origin_ = now - static_cast<double>(ticks_) * period_;
      return 0;
    }
    return std::max(0.0, due - now);
  }

 private:
  double period_;
  double origin_ = 0;
  uint64_t ticks_ = 0;
};

}  // namespace qb
