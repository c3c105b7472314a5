#pragma once

#include <memory>
#include <string>

#include "platform/AudioDeviceService.hpp"
#include "sources/DeviceDiagnostic.hpp"

namespace qb {

// The microphone's capture reports ("DEVICE_DIAGNOSTIC:" lines) and the log line after
// each. The source hands over what it knows (the selected device, its counts); the device
// list, the default and who runs what are read from the service at the moment of the
// report. Any thread; it keeps no state.
class MicrophoneDiagnostics {
 public:
  explicit MicrophoneDiagnostics(std::shared_ptr<AudioDeviceService> audio) : audio_(std::move(audio)) {}

  // Right after a successful start: the device and every input device.
  void emitCaptureStart(const CaptureDevice& selected);
  // Every 50 s of capture: the level since the last status and the buffers since start.
  void emitCaptureStatus(const CaptureDevice& selected, double avgRMS, int64_t totalFrames);
  // On the host's request.
  void emitCaptureProblem(const CaptureDevice& selected, double rms, int64_t totalFrames, const std::string& reason);

 private:
  void emit(const DeviceDiagnostic& report);
  // Drift: the default is not the selected device (no default counts as drift).
  bool addDrift(DeviceDiagnostic& report);

  std::shared_ptr<AudioDeviceService> audio_;
};

}  // namespace qb
