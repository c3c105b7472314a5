#include "platform/linux/pulse/PulseMainLoop.hpp"

#include <pulse/rtclock.h>
#include <pulse/thread-mainloop.h>
#include <pulse/timeval.h>
#include <sys/time.h>

namespace qb::pulse {

PulseMainLoop::PulseMainLoop() {
  loop_ = pa_threaded_mainloop_new();
  if (!loop_) return;
  pa_threaded_mainloop_set_name(loop_, "pulse.loop");
  if (pa_threaded_mainloop_start(loop_) < 0) {
    pa_threaded_mainloop_free(loop_);
    loop_ = nullptr;
  }
}

PulseMainLoop::~PulseMainLoop() {
  if (!loop_) return;
  pa_threaded_mainloop_stop(loop_);
  pa_threaded_mainloop_free(loop_);
}

bool PulseMainLoop::inLoopThread() const { return loop_ && pa_threaded_mainloop_in_thread(loop_); }

pa_mainloop_api* PulseMainLoop::api() const { return loop_ ? pa_threaded_mainloop_get_api(loop_) : nullptr; }

void PulseMainLoop::signal() {
  if (loop_) pa_threaded_mainloop_signal(loop_, 0);
}

namespace {
constexpr suseconds_t kRtClockFlag = suseconds_t(1) << 30;

struct WaitTimer {
  pa_threaded_mainloop* loop;
  bool fired = false;
};
void deadlinePassed(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
  auto* t = static_cast<WaitTimer*>(userdata);
  t->fired = true;
  pa_threaded_mainloop_signal(t->loop, 0);
}
}  // namespace

bool PulseMainLoop::waitUntil(const std::function<bool()>& pred, double seconds) {
  if (pred()) return true;
  if (!loop_ || inLoopThread() || seconds <= 0) return false;
  // pa_threaded_mainloop_wait has no timeout: a monotonic timer on the loop wakes us at
  // the deadline. It runs on the loop thread with the lock held, as `fired` requires.
  WaitTimer t{loop_};
  struct timeval tv;
  monotonicDeadline(&tv, seconds);
  pa_mainloop_api* a = api();
  pa_time_event* timer = a->time_new(a, &tv, deadlinePassed, &t);
  if (!timer) return false;
  bool result = false;
  while (true) {
    if (pred()) {
      result = true;
      break;
    }
    if (t.fired) break;
    pa_threaded_mainloop_wait(loop_);
  }
  a->time_free(timer);
  return result;
}

void PulseMainLoop::monotonicDeadline(struct timeval* tv, double seconds) {
  pa_timeval_store(tv, pa_rtclock_now() + static_cast<pa_usec_t>(seconds * PA_USEC_PER_SEC));
  // libpulse's main loops read this bit as "monotonic clock" (what pa_context_rttime_new
  // sets); without it the deadline would follow the wall clock.
  tv->tv_usec |= kRtClockFlag;
}

PulseMainLoop::Lock::Lock(PulseMainLoop& loop) : loop_(loop) {
  if (loop_.loop_ && !loop_.inLoopThread()) {
    pa_threaded_mainloop_lock(loop_.loop_);
    locked_ = true;
  }
}

PulseMainLoop::Lock::~Lock() {
  if (locked_) pa_threaded_mainloop_unlock(loop_.loop_);
}

}  // namespace qb::pulse
