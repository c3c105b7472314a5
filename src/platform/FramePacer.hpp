#pragma once
// When a damage-driven capture stream takes its next picture.
//
// A picture is taken only when something changed, and never sooner than the minimum
// frame interval after the previous one; a change inside the interval is taken at its
// end, not lost. The first picture after start is due at once, even on a still screen.
// Both backends pace with it, so they keep the same rule.
//
// A plain value: not thread-safe; the stream's own queue owns it. Times are seconds on
// any monotonic clock, the same for every call.

#include <optional>

namespace qb {

class FramePacer {
 public:
  // `interval`: the minimum frame interval in seconds; 0 or less means none.
  explicit FramePacer(double interval = 0) : interval_(interval > 0 ? interval : 0) {}

  double interval() const { return interval_; }

  // Capture (re)starts: the first picture is due at once, the interval counts afresh.
  void start() {
    pending_ = true;
    last_.reset();
    retryAt_.reset();
  }
  // The content (or the cursor) changed.
  void changed() { pending_ = true; }
  // Nothing to take until the next change (a paused window, a stopped stream).
  void clear() {
    pending_ = false;
    retryAt_.reset();
  }
  bool pending() const { return pending_; }

  // When the next picture is due: none when nothing waits; a time at or before now
  // means at once.
  std::optional<double> due() const {
    if (!pending_) return std::nullopt;
    double t = last_ ? *last_ + interval_ : 0;
    if (retryAt_ && *retryAt_ > t) t = *retryAt_;
    return t;
  }
  bool isDue(double now) const {
    auto t = due();
    return t && *t <= now;
  }

  // A picture was taken at `now`; the change is consumed.
  void taken(double now) {
    pending_ = false;
    last_ = now;
    retryAt_.reset();
  }
  // A due picture could not be taken now (no free picture memory): the change stays
  // pending and is tried again one interval later (or after `kMinRetry`).
  void skipped(double now) { retryAt_ = now + (interval_ > kMinRetry ? interval_ : kMinRetry); }

  static constexpr double kMinRetry = 0.005;

 private:
  double interval_;
  bool pending_ = false;
  std::optional<double> last_;
  std::optional<double> retryAt_;
};

}  // namespace qb
