// The activity tool's output as the mic app detector reads it: arbitrary bytes in pieces
// cut anywhere, through line assembly, the payload parser and the per-application counts.
// Every line the detector writes must be one whole line of valid UTF-8 with a JSON body.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "monitoring/MicAppDetector.hpp"
#include "platform/sim/SimPlatform.hpp"
#include "runtime/ManualExecutor.hpp"
#include "wire/LineText.hpp"
#include "wire/Output.hpp"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

void checkEventLine(std::string_view line) {
  check(line.ends_with("\n"));
  line.remove_suffix(1);
  check(line.find('\n') == std::string_view::npos);
  if (!line.starts_with("MIC_APP_")) return;
  check(qb::isValidUtf8(line));
  auto body = nlohmann::json::parse(line.substr(line.find(':') + 1), nullptr, false);
  check(body.is_object());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

  // The parser alone: a record's PID is the digits at the end of the name.
  if (auto record = qb::MicAppDetector::parseLogLine(text)) {
    check(record->pid >= 0);
    check(text.find("(" + std::to_string(record->pid) + ")") != std::string_view::npos ||
          text.find("(0") != std::string_view::npos);
  }

  qb::ScopedOutputSink sink({.stdoutBytes = [](auto) { std::abort(); }, .stderrLine = checkEventLine});
  qb::ManualExecutor executor;
  qb::SimPlatform sim(executor);
  sim.apps().addApplication({"org.example.App", "App", "/opt/app/app", 100});
  auto detector = qb::MicAppDetector::make(executor, sim.platform().processes, sim.platform().apps, {"tool"});
  detector->startMonitoring();
  // The first byte sets the piece length, so that pieces split lines and characters.
  const size_t piece = 1 + data[0] % 97;
  for (size_t at = 0; at < text.size(); at += piece) {
    check(sim.processes().pushStdoutData(std::string(text.substr(at, piece))));
    executor.runUntilIdle();
  }
  detector->stopMonitoring();
  executor.runUntilIdle();
  return 0;
}
