#pragma once

#include <cstdint>

namespace qb {

// The one source of time. Every timer and timestamp of the helper reads it, so that
// tests can run hours of recovery logic in virtual time.
// Thread-safe: both methods may be called from any thread.
class Clock {
 public:
  virtual ~Clock() = default;
  // Wall-clock time in seconds since 1970-01-01 00:00 UTC.
  virtual double now() const = 0;
  // Monotonic seconds since an arbitrary origin (system uptime in production).
  virtual double uptime() const = 0;
};

// The capture clock that times all media: the clock's uptime in whole microseconds.
int64_t captureClockUs(const Clock& clock);

class SystemClock final : public Clock {
 public:
  double now() const override;
  double uptime() const override;
};

}  // namespace qb
