#pragma once
// Questions about device objects that several components ask the same way.

#include <string>

#include "platform/AudioDeviceService.hpp"

namespace qb {

// Whether the device runs somewhere: its running state read in the global, then the
// input, then the output scope, true at the first read that succeeds with a non-zero
// value. Device 0 and failed reads count as not running.
bool isRunningInAnyScope(AudioDeviceService& audio, AudioObjectID id);

// The same for the device object whose uid equals the capture device's `uniqueID` (the
// first in the device list); not running when there is none.
bool isCaptureDeviceRunning(AudioDeviceService& audio, const std::string& uniqueID);

}  // namespace qb
