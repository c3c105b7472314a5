#pragma once
// One-shot answers about the capture devices: LIST_DEVICES and GET_CURRENT_MIC.

#include "platform/AudioDeviceService.hpp"

namespace qb {

// Answers "DEVICES_LIST:<json array of {id, name, type}>" in discovery order.
void listDevices(AudioDeviceService& audio);

// Answers "CURRENT_MIC:<name of the default microphone>", or that there is none.
void getCurrentMicDevice(AudioDeviceService& audio);

}  // namespace qb
