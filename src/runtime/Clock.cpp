#include "runtime/Clock.hpp"

#include <chrono>
#include <cmath>
#include <ctime>

namespace qb {

int64_t captureClockUs(const Clock& clock) { return std::llround(clock.uptime() * 1e6); }

double SystemClock::now() const {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

double SystemClock::uptime() const {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace qb
