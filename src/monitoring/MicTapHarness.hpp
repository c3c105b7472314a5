#pragma once
// TEST_MIC_TAP: checks, without any device, that the capture path works on this machine:
// a 440 Hz tone rendered offline through a mixer with a tap, each tapped block converted
// to the output format by the capture converter and measured. One answer line, success or
// error. Plays nothing and opens nothing.

#include <optional>
#include <string>
#include <string_view>

#include "audio/OfflineRenderGraph.hpp"
#include "runtime/Executor.hpp"

namespace qb {

enum class MicTapHarnessError { converterCreationFailed, renderingFailed, noDataCaptured };
std::string_view describe(MicTapHarnessError error);

// Faults a test can put into the harness; none by default.
struct MicTapHarnessFaults {
  bool noConverter = false;                  // the converter cannot be made
  std::optional<RenderStatus> renderStatus;  // every render call answers this
  bool tapSilent = false;                    // the tap never fires
};

// Runs the self-test on the calling thread (tapped blocks reach the collector through the
// executor) and writes its answer and log line.
void runMicTapHarnessCommand(Executor& executor, const MicTapHarnessFaults& faults = {});

}  // namespace qb
