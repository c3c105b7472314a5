#pragma once
// Owns libpulse's threaded main loop: its thread, its lock, and bounded waits on it.
//
// Locking rule, the one every sound-server object of this backend follows: libpulse
// objects (context, streams, operations) are touched only with the loop's lock held.
// Callbacks from libpulse run on the loop thread with the lock already held; they
// never wait and never call out to the logic (they hop to a queue). Other threads take
// the lock with PulseMainLoop::Lock, keep it for short, non-blocking calls, and wait only
// through waitUntil(), which releases the lock while it sleeps and always has a deadline.

#include <functional>
#include <memory>

#include <cstdint>

struct pa_threaded_mainloop;
struct pa_mainloop_api;
struct timeval;

namespace qb::pulse {

class PulseMainLoop {
 public:
  // Creates and starts the loop thread. Any thread. ok() is false when libpulse could not
  // create or start it; every wait then fails at once.
  PulseMainLoop();
  // Stops and frees the loop. Never from the loop thread, never with the lock held; every
  // libpulse object using the loop must have been freed before.
  ~PulseMainLoop();
  PulseMainLoop(const PulseMainLoop&) = delete;
  PulseMainLoop& operator=(const PulseMainLoop&) = delete;

  // Any thread.
  bool ok() const { return loop_ != nullptr; }
  bool inLoopThread() const;

  // Lock held.
  pa_mainloop_api* api() const;
  // Wakes waiters so that they re-check their condition. Lock held (callbacks hold it).
  void signal();

  // Waits until pred() is true or `seconds` passed; true when pred() held. pred() is
  // evaluated with the lock held. Lock held, never on the loop thread (there it returns
  // pred() at once: the loop thread must not block).
  bool waitUntil(const std::function<bool()>& pred, double seconds);

  // Fills `tv` with the monotonic time `seconds` from now, for the loop's timers (immune
  // to wall-clock jumps). Any thread.
  static void monotonicDeadline(struct timeval* tv, double seconds);

  // Scoped lock. Takes the loop's lock unless the calling code already runs on the loop
  // thread, which holds it during every callback. Any thread.
  class Lock {
   public:
    explicit Lock(PulseMainLoop& loop);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    PulseMainLoop& loop_;
    bool locked_ = false;
  };

 private:
  pa_threaded_mainloop* loop_ = nullptr;
};

}  // namespace qb::pulse
