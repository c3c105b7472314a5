#include "platform/linux/portal/PortalBus.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

namespace qb::portal {

struct PortalBus::State {
  sd_bus* bus = nullptr;  // the bus thread's alone once it runs
  int wakeFd = -1;
  std::mutex mutex;  // guards the fields below
  std::deque<std::function<void(sd_bus*)>> tasks;
  bool stopping = false;
  bool failed = false;
  std::thread thread;

  ~State() {
    if (bus) sd_bus_flush_close_unref(bus);
    if (wakeFd >= 0) ::close(wakeFd);
  }
  void wake() {
    uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wakeFd, &one, sizeof one);
  }
  // The thread holds the state, so a bus dropped on its own thread still ends cleanly.
  static void run(std::shared_ptr<State> self) {
    while (true) {
      std::deque<std::function<void(sd_bus*)>> tasks;
      {
        std::lock_guard lock(self->mutex);
        if (self->stopping) break;
        tasks.swap(self->tasks);
      }
      for (auto& task : tasks) task(self->bus);
      tasks.clear();
      int r;
      while ((r = sd_bus_process(self->bus, nullptr)) > 0) {
      }
      if (r < 0) break;  // the daemon went away: nothing on this connection works any more
      struct pollfd fds[2] = {{sd_bus_get_fd(self->bus), static_cast<short>(sd_bus_get_events(self->bus)), 0},
                              {self->wakeFd, POLLIN, 0}};
      uint64_t until = 0;
      int timeout = -1;
      if (sd_bus_get_timeout(self->bus, &until) >= 0 && until != UINT64_MAX) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const uint64_t nowUsec = uint64_t(now.tv_sec) * 1000000 + uint64_t(now.tv_nsec) / 1000;
        timeout = until <= nowUsec ? 0 : int((until - nowUsec + 999) / 1000);
      }
      if (::poll(fds, 2, timeout) < 0 && errno != EINTR) break;
      if (fds[1].revents & POLLIN) {
        uint64_t n;
        [[maybe_unused]] auto got = ::read(self->wakeFd, &n, sizeof n);
      }
    }
    std::lock_guard lock(self->mutex);
    self->failed = true;
    self->tasks.clear();
  }
};

std::shared_ptr<PortalBus> PortalBus::open(std::string* why) {
  auto state = std::make_shared<State>();
  int r = sd_bus_open_user(&state->bus);
  if (r < 0) {
    state->bus = nullptr;
    if (why) *why = std::string("cannot connect to the session bus: ") + std::strerror(-r);
    return nullptr;
  }
  const char* unique = nullptr;
  r = sd_bus_get_unique_name(state->bus, &unique);  // waits for the daemon's Hello
  if (r < 0) {
    if (why) *why = std::string("the session bus did not answer: ") + std::strerror(-r);
    return nullptr;
  }
  state->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (state->wakeFd < 0) {
    if (why) *why = std::string("cannot create an event: ") + std::strerror(errno);
    return nullptr;
  }
  std::string name = unique;
  state->thread = std::thread(State::run, state);
  return std::shared_ptr<PortalBus>(new PortalBus(state, std::move(name)));
}

PortalBus::PortalBus(std::shared_ptr<State> state, std::string uniqueName)
    : state_(std::move(state)), uniqueName_(std::move(uniqueName)) {}

PortalBus::~PortalBus() {
  std::thread thread;
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
    thread = std::move(state_->thread);
  }
  state_->wake();
  if (thread.get_id() == std::this_thread::get_id())
    thread.detach();  // dropped by a task of its own: the loop ends after it
  else if (thread.joinable())
    thread.join();
}

void PortalBus::post(std::function<void(sd_bus*)> task) {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->stopping || state_->failed) return;
    state_->tasks.push_back(std::move(task));
  }
  state_->wake();
}

bool PortalBus::connected() const {
  std::lock_guard lock(state_->mutex);
  return !state_->failed;
}

// ---- helpers ---------------------------------------------------------------------------

namespace {

int onReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto& handler = *static_cast<ReplyHandler*>(userdata);
  if (sd_bus_message_is_method_error(m, nullptr))
    handler(nullptr, sd_bus_message_get_error(m));
  else
    handler(m, nullptr);
  return 0;
}

int onSignal(sd_bus_message* m, void* userdata, sd_bus_error*) {
  (*static_cast<SignalHandler*>(userdata))(m);
  return 0;
}

template <class T>
void deleteHandler(void* userdata) {
  delete static_cast<T*>(userdata);
}

}  // namespace

void callAsync(sd_bus* bus, sd_bus_message* call, uint64_t timeoutUsec, ReplyHandler handler) {
  auto owned = std::make_unique<ReplyHandler>(std::move(handler));
  sd_bus_slot* slot = nullptr;
  int r = sd_bus_call_async(bus, &slot, call, onReply, owned.get(), timeoutUsec);
  if (r < 0) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_error_set_errno(&error, r);
    (*owned)(nullptr, &error);
    sd_bus_error_free(&error);
    return;
  }
  sd_bus_slot_set_destroy_callback(slot, deleteHandler<ReplyHandler>);
  owned.release();
  // Floating, the bus holds the slot and frees it after the reply (or with itself); the
  // reference sd_bus_call_async handed us must go too, or the slot and its handler, with all
  // it holds, stay for good.
  sd_bus_slot_set_floating(slot, 1);
  sd_bus_slot_unref(slot);
}

BusSlot& BusSlot::operator=(BusSlot&& other) noexcept {
  if (this != &other) {
    reset();
    slot_ = other.slot_;
    other.slot_ = nullptr;
  }
  return *this;
}

void BusSlot::reset() {
  if (slot_) sd_bus_slot_unref(slot_);
  slot_ = nullptr;
}

BusSlot matchSignal(sd_bus* bus, const std::string& path, const char* interface, const char* member,
                    SignalHandler handler) {
  auto owned = std::make_unique<SignalHandler>(std::move(handler));
  sd_bus_slot* slot = nullptr;
  if (sd_bus_match_signal_async(bus, &slot, nullptr, path.c_str(), interface, member, onSignal, nullptr, owned.get()) <
      0)
    return {};
  sd_bus_slot_set_destroy_callback(slot, deleteHandler<SignalHandler>);
  owned.release();
  return BusSlot(slot);
}

int appendOptions(sd_bus_message* m, const std::vector<Option>& options) {
  int r = sd_bus_message_open_container(m, 'a', "{sv}");
  for (const auto& o : options) {
    if (r < 0) return r;
    r = sd_bus_message_open_container(m, 'e', "sv");
    if (r >= 0) r = sd_bus_message_append_basic(m, 's', o.key.c_str());
    if (r < 0) return r;
    if (auto* s = std::get_if<std::string>(&o.value))
      r = sd_bus_message_append(m, "v", "s", s->c_str());
    else if (auto* u = std::get_if<uint32_t>(&o.value))
      r = sd_bus_message_append(m, "v", "u", *u);
    else
      r = sd_bus_message_append(m, "v", "b", int(std::get<bool>(o.value)));
    if (r >= 0) r = sd_bus_message_close_container(m);
  }
  if (r >= 0) r = sd_bus_message_close_container(m);
  return r;
}

int readOptions(sd_bus_message* m, const std::function<bool(const std::string& key, sd_bus_message* m)>& entry) {
  int r = sd_bus_message_enter_container(m, 'a', "{sv}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    const char* key = nullptr;
    r = sd_bus_message_read_basic(m, 's', &key);
    if (r < 0) return r;
    if (!entry(key, m)) {
      r = sd_bus_message_skip(m, "v");
      if (r < 0) return r;
    }
    r = sd_bus_message_exit_container(m);
    if (r < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

std::string describeBusError(const sd_bus_error* error) {
  if (!error || !sd_bus_error_is_set(error)) return "unknown error";
  std::string text = error->name;
  if (error->message && *error->message) text += std::string(": ") + error->message;
  return text;
}

}  // namespace qb::portal
