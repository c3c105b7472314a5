#include "screen/CaptureTargets.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <nlohmann/json.hpp>

#include "platform/ScreenCaptureWaits.hpp"
#include "wire/JsonText.hpp"
#include "wire/Output.hpp"

namespace qb {

namespace {

constexpr std::array<std::string_view, 4> kExcludedApplications = {"WindowManager", "Wallpaper", "Dock",
                                                                   "Notification Center"};

// "^Display \d+ Backstop$"
bool isBackstopTitle(std::string_view title) {
  constexpr std::string_view head = "Display ", tail = " Backstop";
  if (!title.starts_with(head) || !title.ends_with(tail) || title.size() <= head.size() + tail.size()) return false;
  auto digits = title.substr(head.size(), title.size() - head.size() - tail.size());
  return std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int64_t truncatedPoints(double v) {
  if (!std::isfinite(v)) return 0;
  return static_cast<int64_t>(std::clamp(v, -9.2e18, 9.2e18));
}

}  // namespace

bool isListedWindow(const WindowInfo& window) {
  if (!window.title || window.title->empty()) return false;
  if (!(window.frame.width > 100) || !(window.frame.height > 100)) return false;
  const std::string appName = window.owningApplication ? window.owningApplication->applicationName : "";
  if (std::find(kExcludedApplications.begin(), kExcludedApplications.end(), appName) != kExcludedApplications.end())
    return false;
  return !isBackstopTitle(*window.title);
}

std::vector<CaptureTarget> listCaptureTargets(Executor& executor, ScreenCaptureService& screen) {
  auto content = awaitShareableContent(executor, screen, false, true);
  if (auto* error = std::get_if<PlatformError>(&content)) {
    logToStderr("listCaptureTargets: error: " + error->printed());
    return {};
  }
  const auto& found = std::get<ShareableContent>(content);
  std::vector<CaptureTarget> targets;
  for (const auto& d : found.displays)
    targets.push_back(
        {"display", d.displayID, "Display " + std::to_string(d.displayID), "", std::nullopt, d.width, d.height});
  for (const auto& w : found.windows) {
    if (!isListedWindow(w)) continue;
    const auto& app = w.owningApplication;
    targets.push_back({"window", w.windowID, *w.title, app ? app->applicationName : "",
                       app ? app->bundleIdentifier : "", truncatedPoints(w.frame.width),
                       truncatedPoints(w.frame.height)});
  }
  return targets;
}

std::string captureTargetsJSON(const std::vector<CaptureTarget>& targets) {
  auto list = nlohmann::json::array();
  for (const auto& t : targets) {
    nlohmann::json entry = {{"type", t.type},       {"id", t.id},       {"name", t.name},
                            {"appName", t.appName}, {"width", t.width}, {"height", t.height}};
    if (t.bundleId) entry["bundleId"] = *t.bundleId;
    list.push_back(std::move(entry));
  }
  try {
    return jsonText(list);
  } catch (const nlohmann::json::exception&) {
    return "[]";
  }
}

}  // namespace qb
