// Names from outside (window titles and classes, device descriptions) reach the host inside
// JSON lines: whatever their bytes, each such line must stay one line of valid JSON once
// the line writers have made it safe, and must still hold every entry.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "monitoring/DeviceListing.hpp"
#include "monitoring/MicSampler.hpp"
#include "platform/sim/SimPlatform.hpp"
#include "runtime/ManualExecutor.hpp"
#include "screen/CaptureTargets.hpp"
#include "sources/DeviceDiagnostic.hpp"
#include "wire/Output.hpp"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// The JSON after `prefix` in the one line written, which must parse.
nlohmann::json payloadOf(const std::vector<std::string>& lines, const std::string& prefix) {
  check(lines.size() == 1 && lines[0].starts_with(prefix) && lines[0].ends_with("\n"));
  std::string body = lines[0].substr(prefix.size(), lines[0].size() - prefix.size() - 1);
  check(body.find('\n') == std::string::npos);
  auto json = nlohmann::json::parse(body, nullptr, false);
  check(!json.is_discarded());
  return json;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Names are the input cut at 0xFF bytes (at most 8 of them).
  std::vector<std::string> names(1);
  for (size_t i = 0; i < size && names.size() <= 8; ++i) {
    if (data[i] == 0xFF)
      names.emplace_back();
    else
      names.back().push_back(static_cast<char>(data[i]));
  }
  std::vector<std::string> lines;
  qb::ScopedOutputSink sink(
      qb::OutputSink{[](std::span<const uint8_t>) {}, [&](std::string_view line) { lines.emplace_back(line); }});

  std::vector<qb::CaptureTarget> targets;
  for (size_t i = 0; i < names.size(); ++i)
    targets.push_back({"window", static_cast<uint32_t>(i), names[i], names[(i + 1) % names.size()],
                       names[(i + 2) % names.size()], 640, 480});
  qb::sendCommandResponse("LIST_WINDOWS:" + qb::captureTargetsJSON(targets));
  auto windows = payloadOf(lines, "CMD_RESPONSE:LIST_WINDOWS:");
  check(windows.is_array() && (windows.size() == targets.size() || windows.empty()));

  lines.clear();
  qb::ManualExecutor executor;
  qb::SimPlatform sim(executor);
  for (size_t i = 0; i < names.size(); ++i) sim.audio().addMicrophone("mic" + std::to_string(i), names[i]);
  qb::listDevices(sim.audio());
  if (!lines.empty() && lines[0].starts_with("CMD_RESPONSE:"))
    check(payloadOf(lines, "CMD_RESPONSE:DEVICES_LIST:").size() == names.size());

  qb::DeviceDiagnostic report;
  report.event = "capture_problem";
  report.selectedDevice = {names[0], names.back(), 0.5, 10};
  report.reason = names.size() > 1 ? names[1] : "";
  report.allInputDevices.emplace();
  for (const auto& name : names) report.allInputDevices->push_back({name, name, true, false});
  if (auto json = qb::encodeDeviceDiagnostic(report)) {
    lines.clear();
    qb::writeStderrLine("DEVICE_DIAGNOSTIC:" + *json);
    check(payloadOf(lines, "DEVICE_DIAGNOSTIC:")["allInputDevices"].size() == names.size());
  }

  qb::RunningMicsSampleDiagnostic sample;
  sample.reason = names[0];
  for (const auto& name : names) sample.samples.push_back({name, name, 0.1, 0.2, 3, 200, name});
  if (auto json = qb::encodeRunningMicsSample(sample)) {
    lines.clear();
    qb::writeStderrLine("RUNNING_MICS_SAMPLE:" + *json);
    check(payloadOf(lines, "RUNNING_MICS_SAMPLE:")["samples"].size() == names.size());
  }
  return 0;
}
