#pragma once

#include <optional>
#include <string>

#include "audio/AudioSource.hpp"

namespace qb {

// The live microphone channel as the command loop holds it: an audio source that also
// says which device it records and reports on its capture when the host asks. Both calls
// come from the command loop's thread.
class LiveMicrophone : public AudioSource {
 public:
  // uniqueID of the device last configured into the capture, none before the first.
  virtual std::optional<std::string> selectedDeviceID() const = 0;
  // Writes a DEVICE_DIAGNOSTIC report of the capture now, naming `reason`.
  virtual void emitCaptureProblemDiagnostic(const std::string& reason) = 0;
};

}  // namespace qb
