#include "monitoring/DeviceListing.hpp"

#include <nlohmann/json.hpp>
#include <string>

#include "wire/Output.hpp"

namespace qb {

void listDevices(AudioDeviceService& audio) {
  auto list = nlohmann::json::array();
  for (const auto& device : audio.discoverDevices())
    list.push_back({{"id", device.uniqueID}, {"name", device.localizedName}, {"type", "input"}});
  std::string json;
  try {
    json = list.dump();
  } catch (const nlohmann::json::exception& error) {  // a name that is not UTF-8
    logToStderr(std::string("ERROR: Failed to encode device list: ") + error.what());
    return;
  }
  sendCommandResponse("DEVICES_LIST:" + json);
}

void getCurrentMicDevice(AudioDeviceService& audio) {
  if (auto device = audio.defaultDevice())
    sendCommandResponse("CURRENT_MIC:" + device->localizedName);
  else
    sendCommandResponse("CURRENT_MIC:No default microphone found");
}

}  // namespace qb
