#pragma once

namespace qb {

// At most `maxAttempts` attempts per window of `windowSeconds`. A window opens at reset()
// and again at the first attempt more than `windowSeconds` after it opened; the count
// starts over with it. Plain value: the owner guards it.
class AttemptBudget {
 public:
  constexpr AttemptBudget(int maxAttempts, double windowSeconds, double now = 0)
      : maxAttempts_(maxAttempts), windowSeconds_(windowSeconds), windowStart_(now) {}

  void reset(double now) {
    windowStart_ = now;
    used_ = 0;
  }
  // Takes one attempt at `now`; false when this window's attempts are used up.
  bool take(double now) {
    if (now - windowStart_ > windowSeconds_) reset(now);
    if (used_ >= maxAttempts_) return false;
    ++used_;
    return true;
  }
  // An attempt taken but superseded before it ran counts no more.
  void giveBack() {
    if (used_ > 0) --used_;
  }
  int used() const { return used_; }
  int maxAttempts() const { return maxAttempts_; }

 private:
  int maxAttempts_;
  double windowSeconds_;
  double windowStart_;
  int used_ = 0;
};

}  // namespace qb
