#pragma once
// Stable device object IDs for sound-server sources. The server's own indexes change
// when a source comes back (a restarted server, a replugged device), so the IDs are
// handed out per source name and kept for the life of the process: a name keeps its ID
// across reconnection. IDs start at 2, never 0 (none) and never 1 (the system object).
//
// Thread-safe.

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/AudioDeviceService.hpp"

namespace qb::pulse {

class DeviceIdMap {
 public:
  AudioObjectID idFor(const std::string& name) {
    std::lock_guard lock(mutex_);
    auto [it, inserted] = ids_.try_emplace(name, next_);
    if (inserted) {
      names_.push_back(name);
      ++next_;
    }
    return it->second;
  }

  std::optional<AudioObjectID> find(const std::string& name) const {
    std::lock_guard lock(mutex_);
    auto it = ids_.find(name);
    if (it == ids_.end()) return std::nullopt;
    return it->second;
  }

  std::optional<std::string> nameOf(AudioObjectID id) const {
    std::lock_guard lock(mutex_);
    if (id < kFirstID || id - kFirstID >= names_.size()) return std::nullopt;
    return names_[id - kFirstID];
  }

  static constexpr AudioObjectID kFirstID = 2;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, AudioObjectID> ids_;
  std::vector<std::string> names_;  // index = id - kFirstID
  AudioObjectID next_ = kFirstID;
};

}  // namespace qb::pulse
