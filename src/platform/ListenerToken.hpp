#pragma once

#include <functional>
#include <utility>

namespace qb {

// Keeps a registered listener or observer alive; destroying or resetting it removes
// the registration. Move-only. Reset from any thread, the listener itself included:
// afterwards no call of the listener starts, but one already running on the service's
// thread may still be finishing, so listeners hold their owner weakly.
class ListenerToken {
 public:
  ListenerToken() = default;
  explicit ListenerToken(std::function<void()> remove) : remove_(std::move(remove)) {}
  ListenerToken(ListenerToken&& o) noexcept : remove_(std::exchange(o.remove_, nullptr)) {}
  ListenerToken& operator=(ListenerToken&& o) noexcept {
    if (this != &o) {
      reset();
      remove_ = std::exchange(o.remove_, nullptr);
    }
    return *this;
  }
  ListenerToken(const ListenerToken&) = delete;
  ListenerToken& operator=(const ListenerToken&) = delete;
  ~ListenerToken() { reset(); }
  void reset() {
    if (auto r = std::exchange(remove_, nullptr)) r();
  }
  explicit operator bool() const { return remove_ != nullptr; }

 private:
  std::function<void()> remove_;
};

}  // namespace qb
