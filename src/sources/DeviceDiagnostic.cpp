#include "sources/DeviceDiagnostic.hpp"

#include <cmath>
#include <nlohmann/json.hpp>

#include "platform/DeviceQueries.hpp"
#include "wire/LineText.hpp"

namespace qb {

namespace {

nlohmann::json toJson(const DeviceDiagnosticInfo& d) {
  return {{"id", d.id}, {"name", d.name}, {"isDefault", d.isDefault}, {"isRunning", d.isRunning}};
}

nlohmann::json toJson(const std::vector<DeviceDiagnosticInfo>& list) {
  auto array = nlohmann::json::array();
  for (const auto& d : list) array.push_back(toJson(d));
  return array;
}

}  // namespace

InputDeviceEnumeration enumerateInputDevices(AudioDeviceService& audio) {
  auto devices = audio.discoverDevices();
  auto defaultDevice = audio.defaultDevice();
  InputDeviceEnumeration result;
  result.totalCount = static_cast<int64_t>(devices.size());
  for (size_t i = 0; i < devices.size() && i < kDiagnosticDeviceLimit; ++i) {
    const auto& d = devices[i];
    result.devices.push_back({d.uniqueID, prefixCharacters(d.localizedName, kDiagnosticNameLength),
                              defaultDevice && defaultDevice->uniqueID == d.uniqueID,
                              isCaptureDeviceRunning(audio, d.uniqueID)});
  }
  return result;
}

std::vector<DeviceDiagnosticInfo> otherRunningDevices(const std::vector<DeviceDiagnosticInfo>& devices,
                                                      const std::string& selectedID) {
  std::vector<DeviceDiagnosticInfo> others;
  for (const auto& d : devices)
    if (d.isRunning && d.id != selectedID) others.push_back(d);
  return others;
}

std::optional<std::string> encodeDeviceDiagnostic(const DeviceDiagnostic& report) {
  const auto& selected = report.selectedDevice;
  // JSON has no form for these; writing null would tell the host "no level" instead.
  if (selected.rms && !std::isfinite(*selected.rms)) return std::nullopt;

  nlohmann::json device = {{"id", selected.id}, {"name", selected.name}};
  if (selected.rms) device["rms"] = *selected.rms;
  if (selected.framesReceived) device["framesReceived"] = *selected.framesReceived;

  nlohmann::json json = {{"event", report.event}, {"selectedDevice", std::move(device)}};
  if (report.allInputDevices) json["allInputDevices"] = toJson(*report.allInputDevices);
  if (report.totalDeviceCount) json["totalDeviceCount"] = *report.totalDeviceCount;
  if (report.otherRunningDevices) json["otherRunningDevices"] = toJson(*report.otherRunningDevices);
  if (report.reason) json["reason"] = *report.reason;
  if (report.driftDetected) json["driftDetected"] = *report.driftDetected;
  if (report.currentDefaultID) json["currentDefaultId"] = *report.currentDefaultID;
  try {
    return json.dump();
  } catch (const nlohmann::json::exception&) {  // text that is not UTF-8
    return std::nullopt;
  }
}

}  // namespace qb
