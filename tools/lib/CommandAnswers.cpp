#include "CommandAnswers.hpp"

#include <map>

namespace qbtools {

std::string commandWord(std::string_view commandLine) {
  std::string word(commandLine.substr(0, commandLine.find(':')));
  for (char& c : word) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  return word;
}

std::optional<CommandAnswer> expectedAnswer(std::string_view commandLine) {
  static const std::map<std::string, CommandAnswer, std::less<>> answers = {
      {"START_STREAMING", {LineKind::cmdResponse, "STREAMING:"}},
      {"TEST_WAV", {LineKind::cmdResponse, "TEST_WAV:"}},
      {"STOP", {LineKind::cmdResponse, "STOPPED:"}},
      {"START_MIC_MONITORING", {LineKind::cmdResponse, "MIC_MONITORING:"}},
      {"STOP_MIC_MONITORING", {LineKind::cmdResponse, "MIC_MONITORING:"}},
      {"START_VIDEO", {LineKind::cmdResponse, "START_VIDEO:"}},
      {"SWITCH_VIDEO", {LineKind::cmdResponse, "SWITCH_VIDEO:"}},
      {"STOP_VIDEO", {LineKind::cmdResponse, "STOP_VIDEO:"}},
      {"LIST_WINDOWS", {LineKind::cmdResponse, "LIST_WINDOWS:"}},
      {"LIST_DEVICES", {LineKind::cmdResponse, "DEVICES_LIST:"}},
      {"GET_CURRENT_MIC", {LineKind::cmdResponse, "CURRENT_MIC:"}},
      {"TEST_MIC_TAP", {LineKind::cmdResponse, "TEST_MIC_TAP:"}},
      {"HEALTH_CHECK", {LineKind::cmdResponse, "HEALTH_OK:"}},
      {"GET_DEVICE_DIAGNOSTIC", {LineKind::event, "DEVICE_DIAGNOSTIC_REQUESTED"}},
      {"SAMPLE_RUNNING_MICS", {LineKind::event, "RUNNING_MICS_SAMPLE_STARTED"}},
  };
  auto it = answers.find(commandWord(commandLine));
  if (it == answers.end()) return std::nullopt;
  return it->second;
}

}  // namespace qbtools
