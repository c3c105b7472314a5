#pragma once
// The connection to the sound server: one pa_context at a time, rebuilt when it fails.
// Nothing runs and nothing is logged until the first use (the first loop() call), so a
// helper that is never asked for audio never touches the server.
//
// A context that reached FAILED or TERMINATED can never connect again, so the connection
// tells its observers (who free their streams on it), frees it, and builds a new one
// after a capped backoff (0.1 s doubling to 2 s), for as long as the connection lives.
// It never starts a server (PA_CONTEXT_NOAUTOSPAWN). Server events (sources, sinks, server
// defaults) are subscribed on every new context and fanned out to the observers.
//
// A missing server costs callers little: a wait for the connection gives up once the
// attempt under way has gone unanswered for kAnswerGrace (kFirstAnswerGrace for the very
// first, which a busy machine may take longer to answer), and at once when none is under
// way (the server is absent, refused us, or never answered); once an operation went
// unanswered, later ones wait no longer than kAnswerGrace until the server answers again.
//
// Locking: see PulseMainLoop. Every method states whether it needs the loop's lock.

#include <pulse/context.h>
#include <pulse/operation.h>
#include <pulse/subscribe.h>

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "platform/linux/pulse/PulseMainLoop.hpp"

namespace qb::pulse {

// Told about the connection, on the loop thread with the lock held. Must not wait.
class PulseConnectionObserver {
 public:
  virtual ~PulseConnectionObserver() = default;
  // A context became ready; `reconnected` is false for the very first one, unless a
  // caller was told before that there was no server (so what it read then is stale).
  virtual void connectionReady(pa_context* context, bool reconnected) {
    (void)context;
    (void)reconnected;
  }
  // The ready context failed. Streams made on it are dead: free them now.
  virtual void connectionLost() {}
  // A subscribed server event (facility and type bits as libpulse gives them).
  virtual void serverEvent(pa_subscription_event_type_t type, uint32_t index) {
    (void)type;
    (void)index;
  }
};

class PulseConnection {
 public:
  using Logger = std::function<void(const std::string&)>;

  // Starts nothing: the loop and the first connection attempt come with the first loop()
  // call. `log` must not block (it is called with the lock held); lines carry no prefix
  // of their own. Any thread.
  explicit PulseConnection(Logger log = {});
  // Frees the context and stops the loop. Every observer and stream must be gone. Any
  // thread; on the loop thread itself the teardown finishes on a helper thread.
  ~PulseConnection();
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  // Any thread, no lock needed. The first call starts the loop and connecting.
  PulseMainLoop& loop();

  // Lock held.
  bool isReady() const { return ready_; }
  // The ready context, or null.
  pa_context* context() const { return ready_ ? context_ : nullptr; }
  // Counts ready contexts; changes whenever streams had to be rebuilt.
  uint64_t generation() const { return generation_; }
  void log(const std::string& line) const {
    if (log_) log_(line);
  }

  // Waits (bounded, see above) until a context is ready. Lock held, not on the loop thread.
  bool waitReady(double seconds);
  static constexpr double kAnswerGrace = 0.08;
  static constexpr double kFirstAnswerGrace = 0.5;

  // Runs one operation to its end: issue(context) starts it (null when it could not) with
  // callbacks that write into state the caller keeps alive; waits until the operation is
  // done, the connection drops or `seconds` passed (kAnswerGrace while the server does not
  // answer), and cancels it in the last two cases
  // so that its callbacks never run late. True when it completed. Lock held, not on the
  // loop thread.
  bool runOperation(const std::function<pa_operation*(pa_context*)>& issue, double seconds);

  // Registration of an observer; removing it (destroying the handle) takes the lock, so
  // an observer is never called after its handle is gone. Handles are move-only.
  class Registration {
   public:
    Registration() = default;
    Registration(Registration&& o) noexcept;
    Registration& operator=(Registration&& o) noexcept;
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;
    ~Registration() { reset(); }
    // Any thread (takes the lock unless on the loop thread).
    void reset();

   private:
    friend class PulseConnection;
    struct Entry;
    Registration(PulseConnection* c, std::shared_ptr<Entry> e) : connection_(c), entry_(std::move(e)) {}
    PulseConnection* connection_ = nullptr;
    std::shared_ptr<Entry> entry_;
  };
  // Lock held.
  Registration addObserver(PulseConnectionObserver* observer);

 private:
  void start();                                                           // once, from loop()
  void connect();                                                         // lock held
  void releaseContext();                                                  // lock held
  void scheduleReconnect();                                               // lock held
  void onStateChange();                                                   // loop thread
  void onServerEvent(pa_subscription_event_type_t type, uint32_t index);  // loop thread
  template <class F>
  void forEachObserver(F&& f);  // lock held

  std::once_flag started_;
  std::unique_ptr<PulseMainLoop> loop_;
  Logger log_;
  pa_context* context_ = nullptr;
  bool ready_ = false;
  bool shuttingDown_ = false;
  uint64_t generation_ = 0;
  bool attempting_ = false;    // a context is connecting
  double attemptStart_ = 0;    // monotonic seconds
  bool toldAbsent_ = false;    // a wait gave up since the last ready context
  bool unresponsive_ = false;  // an operation went unanswered on the ready context
  double backoff_ = 0;
  int failedAttempts_ = 0;
  pa_time_event* reconnectTimer_ = nullptr;
  std::list<std::shared_ptr<Registration::Entry>> observers_;
};

struct PulseConnection::Registration::Entry {
  PulseConnectionObserver* observer;
};

}  // namespace qb::pulse
