#include "sources/DeviceDiagnostic.hpp"

#include <cmath>
#include <nlohmann/json.hpp>

namespace qb {

namespace {

// One decoded code point and its length in bytes. A byte that does not start a valid
// sequence counts as one character of its own.
struct CodePoint {
  char32_t value;
  size_t length;
};

CodePoint decodeAt(std::string_view s, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = byte(i);
  size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
  if (len == 0 || i + len > s.size()) return {0xFFFD, 1};
  if (len == 1) return {c, 1};
  char32_t v = c & (0x7F >> len);
  for (size_t k = 1; k < len; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return {0xFFFD, 1};
    v = (v << 6) | (byte(i + k) & 0x3F);
  }
  return {v, len};
}

bool in(char32_t c, char32_t lo, char32_t hi) { return c >= lo && c <= hi; }

// Marks that never start a character of their own: combining marks of the common
// scripts, variation selectors, emoji skin-tone modifiers and tag characters.
bool isExtending(char32_t c) {
  return in(c, 0x0300, 0x036F) || in(c, 0x0483, 0x0489) || in(c, 0x0591, 0x05BD) || c == 0x05BF ||
         in(c, 0x05C1, 0x05C2) || in(c, 0x05C4, 0x05C5) || c == 0x05C7 || in(c, 0x0610, 0x061A) ||
         in(c, 0x064B, 0x065F) || c == 0x0670 || in(c, 0x06D6, 0x06DC) || in(c, 0x06DF, 0x06E4) ||
         in(c, 0x06E7, 0x06E8) || in(c, 0x06EA, 0x06ED) || in(c, 0x0900, 0x0903) || in(c, 0x093A, 0x094F) ||
         in(c, 0x0951, 0x0957) || in(c, 0x0962, 0x0963) || in(c, 0x0E31, 0x0E31) || in(c, 0x0E34, 0x0E3A) ||
         in(c, 0x0E47, 0x0E4E) || in(c, 0x1AB0, 0x1AFF) || in(c, 0x1DC0, 0x1DFF) || c == 0x200C ||
         in(c, 0x20D0, 0x20FF) || in(c, 0x3099, 0x309A) || in(c, 0xFE00, 0xFE0F) || in(c, 0xFE20, 0xFE2F) ||
         in(c, 0x1F3FB, 0x1F3FF) || in(c, 0xE0020, 0xE007F) || in(c, 0xE0100, 0xE01EF);
}

bool isRegionalIndicator(char32_t c) { return in(c, 0x1F1E6, 0x1F1FF); }

nlohmann::json toJson(const DeviceDiagnosticInfo& d) {
  return {{"id", d.id}, {"name", d.name}, {"isDefault", d.isDefault}, {"isRunning", d.isRunning}};
}

nlohmann::json toJson(const std::vector<DeviceDiagnosticInfo>& list) {
  auto array = nlohmann::json::array();
  for (const auto& d : list) array.push_back(toJson(d));
  return array;
}

}  // namespace

std::string prefixCharacters(std::string_view text, size_t count) {
  size_t i = 0;
  size_t characters = 0;
  char32_t previous = 0;
  bool openRegionalPair = false;
  while (i < text.size()) {
    CodePoint cp = decodeAt(text, i);
    bool joins = false;
    if (i > 0) {
      if (isExtending(cp.value) || cp.value == 0x200D || previous == 0x200D) {
        joins = true;
      } else if (previous == '\r' && cp.value == '\n') {
        joins = true;
      } else if (isRegionalIndicator(cp.value) && openRegionalPair) {
        joins = true;
      }
    }
    if (!joins) {
      if (characters == count) break;
      ++characters;
    }
    // Flags are pairs of regional indicators; a third one starts a new flag.
    openRegionalPair = isRegionalIndicator(cp.value) && !(joins && openRegionalPair);
    previous = cp.value;
    i += cp.length;
  }
  return std::string(text.substr(0, i));
}

bool isCaptureDeviceRunning(AudioDeviceService& audio, const std::string& uniqueID) {
  auto ids = audio.deviceIDs();
  if (!ids.ok() || ids.value.empty()) return false;
  std::optional<AudioObjectID> match;
  for (AudioObjectID id : ids.value) {
    auto uid = audio.uid(id);
    if (uid.ok() && uid.value == uniqueID) {
      match = id;
      break;
    }
  }
  if (!match || *match == 0) return false;
  for (auto scope : {PropertyScope::global, PropertyScope::input, PropertyScope::output}) {
    auto running = audio.isRunningSomewhere(*match, scope);
    if (running.ok() && running.value != 0) return true;
  }
  return false;
}

InputDeviceEnumeration enumerateInputDevices(AudioDeviceService& audio) {
  auto devices = audio.discoverDevices();
  auto defaultDevice = audio.defaultDevice();
  InputDeviceEnumeration result;
  result.totalCount = static_cast<int64_t>(devices.size());
  for (size_t i = 0; i < devices.size() && i < kDiagnosticDeviceLimit; ++i) {
    const auto& d = devices[i];
    result.devices.push_back({d.uniqueID, prefixCharacters(d.localizedName, kDiagnosticNameLength),
                              defaultDevice && defaultDevice->uniqueID == d.uniqueID,
                              isCaptureDeviceRunning(audio, d.uniqueID)});
  }
  return result;
}

std::vector<DeviceDiagnosticInfo> otherRunningDevices(const std::vector<DeviceDiagnosticInfo>& devices,
                                                      const std::string& selectedID) {
  std::vector<DeviceDiagnosticInfo> others;
  for (const auto& d : devices)
    if (d.isRunning && d.id != selectedID) others.push_back(d);
  return others;
}

std::optional<std::string> encodeDeviceDiagnostic(const DeviceDiagnostic& report) {
  const auto& selected = report.selectedDevice;
  // JSON has no form for these; writing null would tell the host "no level" instead.
  if (selected.rms && !std::isfinite(*selected.rms)) return std::nullopt;

  nlohmann::json device = {{"id", selected.id}, {"name", selected.name}};
  if (selected.rms) device["rms"] = *selected.rms;
  if (selected.framesReceived) device["framesReceived"] = *selected.framesReceived;

  nlohmann::json json = {{"event", report.event}, {"selectedDevice", std::move(device)}};
  if (report.allInputDevices) json["allInputDevices"] = toJson(*report.allInputDevices);
  if (report.totalDeviceCount) json["totalDeviceCount"] = *report.totalDeviceCount;
  if (report.otherRunningDevices) json["otherRunningDevices"] = toJson(*report.otherRunningDevices);
  if (report.reason) json["reason"] = *report.reason;
  if (report.driftDetected) json["driftDetected"] = *report.driftDetected;
  if (report.currentDefaultID) json["currentDefaultId"] = *report.currentDefaultID;
  try {
    return json.dump();
  } catch (const nlohmann::json::exception&) {  // text that is not UTF-8
    return std::nullopt;
  }
}

}  // namespace qb
