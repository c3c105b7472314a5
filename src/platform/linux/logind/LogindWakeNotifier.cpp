#include "platform/linux/logind/LogindWakeNotifier.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstring>
#include <utility>
#include <vector>

namespace qb {

namespace {
int onPrepareForSleep(sd_bus_message* m, void* self, sd_bus_error*) {
  int sleeping = 0;
  if (sd_bus_message_read(m, "b", &sleeping) < 0) return 0;
  if (!sleeping) static_cast<LogindWakeNotifier*>(self)->notifyWake();
  return 0;
}
}  // namespace

LogindWakeNotifier::LogindWakeNotifier(std::function<void(const std::string&)> log) : log_(std::move(log)) {}

LogindWakeNotifier::~LogindWakeNotifier() {
  std::thread t;
  {
    std::lock_guard lock(mutex_);
    if (stopFd_ >= 0) {
      uint64_t one = 1;
      [[maybe_unused]] auto n = ::write(stopFd_, &one, sizeof one);
    }
    t = std::move(thread_);
  }
  if (t.joinable()) t.join();
  if (slot_) sd_bus_slot_unref(slot_);
  if (bus_) sd_bus_flush_close_unref(bus_);
  if (stopFd_ >= 0) ::close(stopFd_);
}

ListenerToken LogindWakeNotifier::observeWake(std::function<void()> observer) {
  uint64_t id;
  bool first;
  {
    std::lock_guard lock(mutex_);
    id = next_++;
    observers_.emplace(id, std::move(observer));
    first = !std::exchange(tried_, true);
  }
  // Opening the bus may wait on the bus daemon; observers come and go meanwhile.
  if (first) {
    std::string unavailable = openBus();
    if (!unavailable.empty() && log_) log_("Wake notifications unavailable: " + unavailable);
  }
  return ListenerToken([weak = weak_from_this(), id] {
    if (auto self = weak.lock()) {
      std::lock_guard lock(self->mutex_);
      self->observers_.erase(id);
    }
  });
}

std::string LogindWakeNotifier::openBus() {
  sd_bus* bus = nullptr;
  sd_bus_slot* slot = nullptr;
  int stopFd = -1;
  std::string reason;
  int r = sd_bus_open_system(&bus);
  if (r < 0) {
    reason = std::string("cannot open the system bus: ") + std::strerror(-r);
  } else {
    r = sd_bus_match_signal(bus, &slot, "org.freedesktop.login1", "/org/freedesktop/login1",
                            "org.freedesktop.login1.Manager", "PrepareForSleep", onPrepareForSleep, this);
    if (r < 0) reason = std::string("cannot subscribe to sleep signals: ") + std::strerror(-r);
  }
  if (r >= 0) {
    stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd < 0) reason = std::string("cannot create an event: ") + std::strerror(errno);
  }
  if (!reason.empty()) {
    if (slot) sd_bus_slot_unref(slot);
    if (bus) sd_bus_flush_close_unref(bus);
    return reason;
  }
  std::lock_guard lock(mutex_);
  bus_ = bus;
  slot_ = slot;
  stopFd_ = stopFd;
  thread_ = std::thread([this] { run(); });
  return {};
}

bool LogindWakeNotifier::listening() const {
  std::lock_guard lock(mutex_);
  return bus_ != nullptr;
}

void LogindWakeNotifier::run() {
  // Only this thread touches the bus once it runs; the destructor joins it first.
  while (true) {
    int r;
    while ((r = sd_bus_process(bus_, nullptr)) > 0) {
    }
    if (r < 0) {
      if (log_) log_(std::string("Wake notifications stopped: ") + std::strerror(-r));
      return;
    }
    struct pollfd fds[2] = {{sd_bus_get_fd(bus_), static_cast<short>(sd_bus_get_events(bus_)), 0},
                            {stopFd_, POLLIN, 0}};
    uint64_t usec = 0;
    int timeout = -1;
    if (sd_bus_get_timeout(bus_, &usec) >= 0 && usec != UINT64_MAX) timeout = 1000;  // re-process soon
    if (::poll(fds, 2, timeout) < 0 && errno != EINTR) return;
    if (fds[1].revents & POLLIN) return;
  }
}

void LogindWakeNotifier::notifyWake() {
  std::vector<uint64_t> ids;
  {
    std::lock_guard lock(mutex_);
    for (auto& [id, fn] : observers_) ids.push_back(id);
  }
  for (uint64_t id : ids) {
    std::function<void()> call;
    {
      std::lock_guard lock(mutex_);
      auto it = observers_.find(id);
      if (it == observers_.end()) continue;
      call = it->second;
    }
    call();
  }
}

}  // namespace qb
