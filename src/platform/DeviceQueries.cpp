#include "platform/DeviceQueries.hpp"

namespace qb {

bool isRunningInAnyScope(AudioDeviceService& audio, AudioObjectID id) {
  if (id == 0) return false;
  for (auto scope : {PropertyScope::global, PropertyScope::input, PropertyScope::output}) {
    auto running = audio.isRunningSomewhere(id, scope);
    if (running.ok() && running.value != 0) return true;
  }
  return false;
}

bool isCaptureDeviceRunning(AudioDeviceService& audio, const std::string& uniqueID) {
  auto ids = audio.deviceIDs();
  if (!ids.ok()) return false;
  for (AudioObjectID id : ids.value) {
    auto uid = audio.uid(id);
    if (uid.ok() && uid.value == uniqueID) return isRunningInAnyScope(audio, id);
  }
  return false;
}

}  // namespace qb
