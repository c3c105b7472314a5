#include "sources/MicrophoneDiagnostics.hpp"

#include <cinttypes>
#include <cstdio>

#include "wire/Output.hpp"

namespace qb {

namespace {

constexpr PrefixedLog log{"[Swift Mic] "};

SelectedDeviceInfo selectedInfo(const CaptureDevice& device) { return {device.uniqueID, device.localizedName, {}, {}}; }

}  // namespace

void MicrophoneDiagnostics::emit(const DeviceDiagnostic& report) {
  if (auto json = encodeDeviceDiagnostic(report))
    writeStderrLine("DEVICE_DIAGNOSTIC:" + *json);
  else
    log("Failed to encode device diagnostic");
}

bool MicrophoneDiagnostics::addDrift(DeviceDiagnostic& report) {
  auto defaultDevice = audio_->defaultDevice();
  if (defaultDevice && defaultDevice->uniqueID == report.selectedDevice.id) return false;
  report.driftDetected = true;
  if (defaultDevice) report.currentDefaultID = defaultDevice->uniqueID;
  return true;
}

void MicrophoneDiagnostics::emitCaptureStart(const CaptureDevice& selected) {
  DeviceDiagnostic report;
  report.event = "capture_start";
  report.selectedDevice = selectedInfo(selected);
  auto devices = enumerateInputDevices(*audio_);
  if (devices.totalCount > static_cast<int64_t>(devices.devices.size())) report.totalDeviceCount = devices.totalCount;
  report.allInputDevices = std::move(devices.devices);
  emit(report);
  log("Emitted capture_start diagnostic");
}

void MicrophoneDiagnostics::emitCaptureStatus(const CaptureDevice& selected, double avgRMS, int64_t totalFrames) {
  DeviceDiagnostic report;
  report.event = "capture_status";
  report.selectedDevice = selectedInfo(selected);
  report.selectedDevice.rms = avgRMS;
  report.selectedDevice.framesReceived = totalFrames;
  const bool drift = addDrift(report);
  auto others = otherRunningDevices(enumerateInputDevices(*audio_).devices, selected.uniqueID);
  if (!others.empty()) report.otherRunningDevices = std::move(others);
  emit(report);
  char line[160];
  std::snprintf(line, sizeof line, "Emitted capture_status diagnostic (RMS=%.6f, frames=%" PRId64 ", drift=%s)", avgRMS,
                totalFrames, drift ? "true" : "false");
  log(line);
}

void MicrophoneDiagnostics::emitCaptureProblem(const CaptureDevice& selected, double rms, int64_t totalFrames,
                                               const std::string& reason) {
  DeviceDiagnostic report;
  report.event = "capture_problem";
  report.selectedDevice = selectedInfo(selected);
  report.selectedDevice.rms = rms;
  report.selectedDevice.framesReceived = totalFrames;
  auto devices = enumerateInputDevices(*audio_);
  auto others = otherRunningDevices(devices.devices, selected.uniqueID);
  if (!others.empty()) report.otherRunningDevices = std::move(others);
  if (devices.totalCount > static_cast<int64_t>(devices.devices.size())) report.totalDeviceCount = devices.totalCount;
  report.allInputDevices = std::move(devices.devices);
  addDrift(report);
  report.reason = reason;
  emit(report);
  log("Emitted capture_problem diagnostic (reason=" + reason + ", frames=" + std::to_string(totalFrames) + ")");
}

}  // namespace qb
