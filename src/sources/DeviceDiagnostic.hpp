#pragma once
// The microphone capture report ("DEVICE_DIAGNOSTIC:" line): which device is recorded,
// whether it is still the default, its level, and which other microphones are busy.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/AudioDeviceService.hpp"

namespace qb {

struct DeviceDiagnosticInfo {
  std::string id;
  std::string name;  // at most kDiagnosticNameLength characters
  bool isDefault = false;
  bool isRunning = false;
};

struct SelectedDeviceInfo {
  std::string id;
  std::string name;  // never shortened
  std::optional<double> rms;
  std::optional<int64_t> framesReceived;
};

struct DeviceDiagnostic {
  std::string event;  // "capture_start", "capture_status" or "capture_problem"
  SelectedDeviceInfo selectedDevice;
  std::optional<std::vector<DeviceDiagnosticInfo>> allInputDevices;
  std::optional<int64_t> totalDeviceCount;
  std::optional<std::vector<DeviceDiagnosticInfo>> otherRunningDevices;
  std::optional<std::string> reason;
  std::optional<bool> driftDetected;
  std::optional<std::string> currentDefaultID;
};

inline constexpr size_t kDiagnosticDeviceLimit = 10;
inline constexpr size_t kDiagnosticNameLength = 50;

struct InputDeviceEnumeration {
  std::vector<DeviceDiagnosticInfo> devices;  // at most kDiagnosticDeviceLimit, discovery order
  int64_t totalCount = 0;
};

InputDeviceEnumeration enumerateInputDevices(AudioDeviceService& audio);

// The running devices of `devices` other than the selected one, in list order.
std::vector<DeviceDiagnosticInfo> otherRunningDevices(const std::vector<DeviceDiagnosticInfo>& devices,
                                                      const std::string& selectedID);

// Compact JSON of the report, or none when it cannot be encoded (a non-finite level,
// text that is not UTF-8).
std::optional<std::string> encodeDeviceDiagnostic(const DeviceDiagnostic& report);

}  // namespace qb
