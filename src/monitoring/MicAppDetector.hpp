#pragma once
// Tells the host which application starts or stops using the microphone, as
// "MIC_APP_EVENT:" and "MIC_APP_STOP_EVENT:" lines ("MIC_APP_ERROR:" when the activity log
// fails). It runs an activity-log tool as a child process, takes a process name, a PID and
// an input-running flag from each line's JSON payload, resolves the PID to an application
// and counts PIDs per application, so that an application with several recording
// processes gives one start and one stop.
//
// Threads: startMonitoring and stopMonitoring come from the command loop and run their
// body on the detector's own serial queue, which owns every field. The child's output and
// exit arrive on its reader thread and hop to that queue, holding the detector weakly;
// the restart after a failed log tool is delayed work on the same queue.

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "monitoring/MonitoringService.hpp"
#include "platform/AppIdentity.hpp"
#include "platform/ChildProcess.hpp"
#include "runtime/Executor.hpp"

namespace qb {

class MicAppDetector final : public MonitoringService, public std::enable_shared_from_this<MicAppDetector> {
  struct Token {
    explicit Token() = default;
  };

 public:
  // One payload line of the activity log.
  struct LogRecord {
    std::string processName;  // the text before "(<pid>)", unchanged
    int32_t pid = 0;
    bool inputRunning = false;
  };
  struct DetectedApp {
    std::string bundleId;
    std::string appName;
    int32_t pid = 0;
    double timestamp = 0;
  };

  // `logCommand` is the activity-log tool and its arguments. Empty launcher or identity
  // services behave as a tool that cannot start and as a machine without applications.
  static std::shared_ptr<MicAppDetector> make(Executor& executor, std::shared_ptr<ProcessLauncher> processes,
                                              std::shared_ptr<AppIdentity> apps, std::vector<std::string> logCommand);
  MicAppDetector(Token, Executor& executor, std::shared_ptr<ProcessLauncher> processes,
                 std::shared_ptr<AppIdentity> apps, std::vector<std::string> logCommand);
  ~MicAppDetector() override;
  MicAppDetector(const MicAppDetector&) = delete;
  MicAppDetector& operator=(const MicAppDetector&) = delete;

  void startMonitoring() override;
  void stopMonitoring() override;

  // The application of the last start event. Any thread but the detector's queue.
  std::optional<DetectedApp> lastDetectedApp() const;
  void setLastDetectedApp(std::optional<DetectedApp> app);

  // The process name, PID and input-running flag of a payload line, or none.
  static std::optional<LogRecord> parseLogLine(std::string_view line);

  static constexpr double kPidCacheMaxAge = 30;
  static constexpr double kDedupeWindow = 2;
  static constexpr double kRestartDelay = 5;
  // Text after the last newline is given up beyond this size: no log line is that long,
  // and a child that never ends a line must not grow the buffer for ever.
  static constexpr size_t kMaxLineLength = 64 * 1024;
  // Process names that are never reported when their PID resolves to nothing: the
  // system's own audio daemons, and the sound servers (kSoundServerPrograms).
  static constexpr std::array<std::string_view, 10> kDaemonSkipList = {
      "coreaudiod",         "audiod",   "mediaserverd",  "appleh13camerad", "cameraassistantd", "systemsoundserve",
      "systemsoundserverd", "audiomxd", "avconferenced", "[implicit]"};

 private:
  struct AppRef {
    std::string bundleId;
    std::string appName;
  };

  // All below run on queue_.
  void start();
  void stop();
  void warmPidCache();
  void startLogStream();
  void logStreamExited(uint64_t child, int status);
  void processLogOutputBuffered(std::string_view text);
  void processLogLine(const std::string& line);
  void resolvePIDAndEmit(int32_t pid, const std::string& processNameHint);
  std::optional<AppRef> resolve(int32_t pid, const std::string& processNameHint);
  void handleMicStop(int32_t pid);
  void sendError(const std::string& error);
  // Runs `work` on queue_ later, while the detector exists.
  void later(std::function<void(MicAppDetector&)> work);

  Executor& executor_;
  std::shared_ptr<ProcessLauncher> processes_;
  std::shared_ptr<AppIdentity> apps_;
  const std::vector<std::string> logCommand_;
  std::shared_ptr<Queue> queue_;

  std::unique_ptr<ChildProcess> logTask_;
  uint64_t logTaskNumber_ = 0;  // tells a replaced child's late exit from the current one's
  TaskHandle pendingRestart_;
  bool isMonitoring_ = false;
  std::map<int32_t, AppRef> pidCache_;
  double pidCacheTime_ = 0;
  double lastEmitTime_ = 0;
  std::string lastEmitBundleId_;
  int64_t linesReceived_ = 0;
  int64_t pidsFound_ = 0;
  std::optional<DetectedApp> lastDetectedApp_;
  std::string lineBuffer_;
  bool discardingLine_ = false;  // an overlong line is skipped up to its newline
  std::map<std::string, std::set<int32_t>> activePIDsByBundle_;
  std::map<int32_t, AppRef> pidToBundleMap_;
};

}  // namespace qb
