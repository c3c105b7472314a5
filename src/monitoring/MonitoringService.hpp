#pragma once

namespace qb {

// A watcher that START_MIC_MONITORING starts and STOP_MIC_MONITORING (or STOP) stops:
// the microphone monitor and the mic app detector. Both calls come from the command
// loop's thread and return once the change is made.
class MonitoringService {
 public:
  virtual ~MonitoringService() = default;
  virtual void startMonitoring() = 0;
  virtual void stopMonitoring() = 0;
};

}  // namespace qb
