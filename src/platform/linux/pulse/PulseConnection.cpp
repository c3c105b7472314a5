#include "platform/linux/pulse/PulseConnection.hpp"

#include <pulse/error.h>
#include <pulse/proplist.h>
#include <sys/time.h>

#include <time.h>

#include <algorithm>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/pulse/PulseDecisions.hpp"

namespace qb::pulse {

namespace {
constexpr int kLoggedFailedAttempts = 3;  // then every 30th, so a long outage stays quiet

double monotonicSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}
}  // namespace

PulseConnection::PulseConnection(Logger log) : log_(std::move(log)) {}

PulseMainLoop& PulseConnection::loop() {
  std::call_once(started_, [this] { start(); });
  return *loop_;
}

void PulseConnection::start() {
  loop_ = std::make_unique<PulseMainLoop>();
  if (!loop_->ok()) {
    log("SoundServer: cannot start the client main loop");
    return;
  }
  PulseMainLoop::Lock lock(*loop_);
  connect();
}

PulseConnection::~PulseConnection() {
  if (!loop_ || !loop_->ok()) return;  // never used, or no loop to stop
  if (loop_->inLoopThread()) {
    // The last owner let go inside a loop callback, where neither the loop nor the
    // context may be torn down: a helper thread does it once the callback has returned.
    shuttingDown_ = true;
    if (reconnectTimer_) loop_->api()->time_free(reconnectTimer_);
    observers_.clear();
    pa_context* context = std::exchange(context_, nullptr);
    if (context) {
      pa_context_set_state_callback(context, nullptr, nullptr);
      pa_context_set_subscribe_callback(context, nullptr, nullptr);
    }
    std::thread([loop = std::move(loop_), context]() mutable {
      if (context) {
        PulseMainLoop::Lock lock(*loop);
        pa_context_disconnect(context);
        pa_context_unref(context);
      }
      loop.reset();
    }).detach();
    return;
  }
  {
    PulseMainLoop::Lock lock(*loop_);
    shuttingDown_ = true;
    if (reconnectTimer_) {
      loop_->api()->time_free(reconnectTimer_);
      reconnectTimer_ = nullptr;
    }
    observers_.clear();
    releaseContext();
  }
  loop_.reset();  // stops the loop thread before anything else goes
}

void PulseConnection::releaseContext() {
  if (!context_) return;
  pa_context_set_state_callback(context_, nullptr, nullptr);
  pa_context_set_subscribe_callback(context_, nullptr, nullptr);
  pa_context_disconnect(context_);
  pa_context_unref(context_);
  context_ = nullptr;
  ready_ = false;
}

void PulseConnection::connect() {
  releaseContext();
  pa_proplist* props = pa_proplist_new();
  pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Quellbrook");
  pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "quellbrook");
  context_ = pa_context_new_with_proplist(loop_->api(), "Quellbrook", props);
  pa_proplist_free(props);
  if (!context_) {
    scheduleReconnect();
    return;
  }
  // Callbacks before connecting: a state change must never be missed.
  pa_context_set_state_callback(
      context_, [](pa_context*, void* self) { static_cast<PulseConnection*>(self)->onStateChange(); }, this);
  pa_context_set_subscribe_callback(
      context_,
      [](pa_context*, pa_subscription_event_type_t t, uint32_t idx, void* self) {
        static_cast<PulseConnection*>(self)->onServerEvent(t, idx);
      },
      this);
  attempting_ = true;
  attemptStart_ = monotonicSeconds();
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    attempting_ = false;
    if (failedAttempts_ < kLoggedFailedAttempts)
      log(std::string("SoundServer: connection failed: ") + pa_strerror(pa_context_errno(context_)));
    ++failedAttempts_;
    scheduleReconnect();
  }
}

void PulseConnection::scheduleReconnect() {
  if (shuttingDown_ || reconnectTimer_) return;
  backoff_ = nextReconnectDelay(backoff_);
  struct timeval tv;
  PulseMainLoop::monotonicDeadline(&tv, backoff_);
  reconnectTimer_ = loop_->api()->time_new(
      loop_->api(), &tv,
      [](pa_mainloop_api* api, pa_time_event* e, const struct timeval*, void* self) {
        auto* c = static_cast<PulseConnection*>(self);
        api->time_free(e);
        c->reconnectTimer_ = nullptr;
        if (!c->shuttingDown_) c->connect();
      },
      this);
}

void PulseConnection::onStateChange() {
  const pa_context_state_t state = pa_context_get_state(context_);
  if (state == PA_CONTEXT_READY) {
    ready_ = true;
    attempting_ = false;
    unresponsive_ = false;
    backoff_ = 0;
    failedAttempts_ = 0;
    ++generation_;
    if (generation_ > 1) log("SoundServer: reconnected");
    const bool reconnected = generation_ > 1 || std::exchange(toldAbsent_, false);
    pa_operation* op = pa_context_subscribe(
        context_,
        static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE |
                                            PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT | PA_SUBSCRIPTION_MASK_SERVER),
        nullptr, nullptr);
    if (op) pa_operation_unref(op);
    forEachObserver([&](PulseConnectionObserver* o) { o->connectionReady(context_, reconnected); });
  } else if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) {
    const bool wasReady = ready_;
    ready_ = false;
    attempting_ = false;
    if (wasReady) {
      log(std::string("SoundServer: connection lost (") + pa_strerror(pa_context_errno(context_)) + "), reconnecting");
      forEachObserver([](PulseConnectionObserver* o) { o->connectionLost(); });
    } else {
      if (failedAttempts_ < kLoggedFailedAttempts || failedAttempts_ % 30 == 0)
        log(std::string("SoundServer: cannot connect: ") + pa_strerror(pa_context_errno(context_)));
      ++failedAttempts_;
    }
    // The dead context is freed by the reconnect timer, outside its own callback.
    scheduleReconnect();
  }
  loop_->signal();
}

void PulseConnection::onServerEvent(pa_subscription_event_type_t type, uint32_t index) {
  forEachObserver([&](PulseConnectionObserver* o) { o->serverEvent(type, index); });
}

template <class F>
void PulseConnection::forEachObserver(F&& f) {
  // An observer may remove itself or others while being told; removed entries are
  // cleared in place, so a snapshot of entries is safe to walk.
  std::vector<std::shared_ptr<Registration::Entry>> snapshot(observers_.begin(), observers_.end());
  for (auto& e : snapshot)
    if (e->observer) f(e->observer);
}

bool PulseConnection::waitReady(double seconds) {
  if (ready_) return true;
  // Only an attempt under way, and only within its grace, is worth waiting for.
  const double grace = generation_ == 0 && failedAttempts_ == 0 ? kFirstAnswerGrace : kAnswerGrace;
  const double left = attempting_ ? std::min(seconds, attemptStart_ + grace - monotonicSeconds()) : 0;
  if (left <= 0 || !loop_->waitUntil([this] { return ready_ || !attempting_; }, left) || !ready_) {
    toldAbsent_ = true;
    return false;
  }
  return true;
}

bool PulseConnection::runOperation(const std::function<pa_operation*(pa_context*)>& issue, double seconds) {
  pa_context* c = context();
  if (!c) return false;
  pa_operation* op = issue(c);
  if (!op) return false;
  pa_operation_set_state_callback(
      op, [](pa_operation*, void* loop) { static_cast<PulseMainLoop*>(loop)->signal(); }, loop_.get());
  const uint64_t gen = generation_;
  loop_->waitUntil([&] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING || !ready_ || generation_ != gen; },
                   unresponsive_ ? std::min(seconds, kAnswerGrace) : seconds);
  const bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
  if (generation_ == gen && ready_) unresponsive_ = !done;
  if (!done) toldAbsent_ = true;
  if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_operation_cancel(op);
  pa_operation_set_state_callback(op, nullptr, nullptr);
  pa_operation_unref(op);
  return done;
}

PulseConnection::Registration PulseConnection::addObserver(PulseConnectionObserver* observer) {
  auto entry = std::make_shared<Registration::Entry>(Registration::Entry{observer});
  observers_.push_back(entry);
  return Registration(this, entry);
}

PulseConnection::Registration::Registration(Registration&& o) noexcept
    : connection_(std::exchange(o.connection_, nullptr)), entry_(std::move(o.entry_)) {}

PulseConnection::Registration& PulseConnection::Registration::operator=(Registration&& o) noexcept {
  if (this != &o) {
    reset();
    connection_ = std::exchange(o.connection_, nullptr);
    entry_ = std::move(o.entry_);
  }
  return *this;
}

void PulseConnection::Registration::reset() {
  if (!connection_ || !entry_) return;
  PulseMainLoop::Lock lock(connection_->loop());
  entry_->observer = nullptr;
  connection_->observers_.remove(entry_);
  entry_.reset();
  connection_ = nullptr;
}

}  // namespace qb::pulse
