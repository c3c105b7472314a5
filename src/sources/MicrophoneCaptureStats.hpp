#pragma once

#include <cstdint>
#include <optional>

namespace qb {

// What the microphone counts of its buffers, and when that calls for a line or a report.
// A plain value: the source keeps one on its processing queue.
struct MicrophoneCaptureStats {
  static constexpr double statusInterval = 50.0;

  int64_t callbackCount = 0;      // every buffer since the last start
  int64_t totalFrameCount = 0;    // buffers converted since the last start
  double cumulativeRMS = 0;       // since the last status report
  int64_t rmsFrameCount = 0;      // buffers summed into cumulativeRMS
  double lastDiagnosticTime = 0;  // uptime of the last status report or start
  bool loggedMonoFallback = false;

  void restart(double uptime) { *this = MicrophoneCaptureStats{.lastDiagnosticTime = uptime}; }

  // Buffer n (from 1) gets a progress line at 1 to 5, 50, 100 and every 500th.
  static bool logsProgress(int64_t n) { return n < 6 || (n <= 100 && n % 50 == 0) || n % 500 == 0; }
  // Failure lines and the "emitting" line are for the first few buffers only.
  static bool logsFailure(int64_t n) { return n <= 10; }
  static bool logsEmitting(int64_t n) { return n <= 5; }

  double averageLevel() const { return rmsFrameCount < 1 ? 0.0 : cumulativeRMS / static_cast<double>(rmsFrameCount); }

  struct Status {
    double avgRMS = 0;
    int64_t totalFrames = 0;
  };
  // A converted buffer of level `rms` at `uptime`: the status report it completes, once at
  // least 50 s have passed since the last one (or the start); the level sum starts over.
  std::optional<Status> addConverted(double rms, double uptime) {
    ++totalFrameCount;
    cumulativeRMS += rms;
    ++rmsFrameCount;
    if (uptime - lastDiagnosticTime < statusInterval) return std::nullopt;
    Status status{averageLevel(), totalFrameCount};
    lastDiagnosticTime = uptime;
    cumulativeRMS = 0;
    rmsFrameCount = 0;
    return status;
  }
};

}  // namespace qb
