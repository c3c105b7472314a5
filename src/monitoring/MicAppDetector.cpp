#include "monitoring/MicAppDetector.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <nlohmann/json.hpp>

#include "wire/LineText.hpp"
#include "wire/Output.hpp"

namespace qb {

namespace {

constexpr PrefixedLog log{"MicAppDetector: "};

// Writes "<prefix><json>"; an object that cannot be serialised (text that is not UTF-8)
// is dropped.
void writeEvent(std::string_view prefix, const nlohmann::json& body) {
  std::string json;
  try {
    json = body.dump();
  } catch (const nlohmann::json::exception&) {
    return;
  }
  std::string line(prefix);
  line.append(json);
  writeStderrLine(line);
}

std::string lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// The last path component without its extension ("/opt/App/run.sh" -> "run").
std::string executableName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name;
}

}  // namespace

std::shared_ptr<MicAppDetector> MicAppDetector::make(Executor& executor, std::shared_ptr<ProcessLauncher> processes,
                                                     std::shared_ptr<AppIdentity> apps,
                                                     std::vector<std::string> logCommand) {
  return std::make_shared<MicAppDetector>(Token{}, executor, std::move(processes), std::move(apps),
                                          std::move(logCommand));
}

MicAppDetector::MicAppDetector(Token, Executor& executor, std::shared_ptr<ProcessLauncher> processes,
                               std::shared_ptr<AppIdentity> apps, std::vector<std::string> logCommand)
    : executor_(executor),
      processes_(std::move(processes)),
      apps_(std::move(apps)),
      logCommand_(std::move(logCommand)),
      queue_(executor.makeQueue("micappdetector")) {}

MicAppDetector::~MicAppDetector() { pendingRestart_.cancel(); }

void MicAppDetector::startMonitoring() {
  queue_->sync([this] { start(); });
}

void MicAppDetector::stopMonitoring() {
  queue_->sync([this] { stop(); });
}

std::optional<MicAppDetector::DetectedApp> MicAppDetector::lastDetectedApp() const {
  std::optional<DetectedApp> app;
  queue_->sync([&] { app = lastDetectedApp_; });
  return app;
}

void MicAppDetector::setLastDetectedApp(std::optional<DetectedApp> app) {
  queue_->sync([&] { lastDetectedApp_ = std::move(app); });
}

void MicAppDetector::later(std::function<void(MicAppDetector&)> work) {
  queue_->async([weak = weak_from_this(), work = std::move(work)] {
    if (auto self = weak.lock()) work(*self);
  });
}

// ---- Start and stop ----------------------------------------------------------------------

void MicAppDetector::start() {
  if (isMonitoring_) {
    log("Already monitoring");
    return;
  }
  isMonitoring_ = true;
  log("Starting...");
  warmPidCache();
  startLogStream();
  log("Started monitoring for audio apps");
}

void MicAppDetector::stop() {
  if (!isMonitoring_) return;
  isMonitoring_ = false;
  // A restart still waiting would otherwise run after a later start, beside its child.
  pendingRestart_.cancel();
  pendingRestart_ = TaskHandle{};
  logTask_.reset();  // ends the child and waits until it is reaped
  activePIDsByBundle_.clear();
  pidToBundleMap_.clear();
  lastEmitBundleId_.clear();
  lastEmitTime_ = 0;
  log("Stopped");
}

void MicAppDetector::warmPidCache() {
  const double now = executor_.clock().now();
  std::vector<AppInfo> running;
  if (apps_) running = apps_->runningApplications();
  pidCache_.clear();
  pidCacheTime_ = now;
  for (const auto& app : running) {
    if (app.bundleIdentifier.empty()) continue;
    pidCache_[app.pid] = {app.bundleIdentifier, app.name.empty() ? app.bundleIdentifier : app.name};
  }
  log("Warmed PID cache with " + std::to_string(pidCache_.size()) + " apps");
}

// ---- The log tool ------------------------------------------------------------------------

void MicAppDetector::startLogStream() {
  const uint64_t number = ++logTaskNumber_;
  std::weak_ptr<MicAppDetector> weak = weak_from_this();
  ChildProcessCallbacks callbacks;
  callbacks.onStdoutData = [weak](std::string_view bytes) {
    // A piece that is not whole UTF-8 (it may split a character) is dropped.
    if (bytes.empty() || !isValidUtf8(bytes)) return;
    auto self = weak.lock();
    if (!self) return;
    self->later([text = std::string(bytes)](MicAppDetector& d) { d.processLogOutputBuffered(text); });
  };
  callbacks.onExit = [weak, number](int status) {
    if (auto self = weak.lock())
      self->later([number, status](MicAppDetector& d) { d.logStreamExited(number, status); });
  };

  std::string error = "no process launcher";
  std::unique_ptr<ChildProcess> child;
  if (processes_ && !logCommand_.empty()) child = processes_->launch(logCommand_, std::move(callbacks), error);
  if (!child) {
    log("Failed to start log stream: " + error);
    sendError("Failed to start log stream: " + error);
    isMonitoring_ = false;
    return;
  }
  logTask_ = std::move(child);
  log("log stream started successfully");
}

void MicAppDetector::logStreamExited(uint64_t child, int status) {
  if (child != logTaskNumber_) return;  // a child replaced or stopped before its exit arrived
  logTask_.reset();
  if (!isMonitoring_ || status == 0) return;
  // What the failed tool counted ends with it (it says so itself when it can, before it
  // exits); the next one reports afresh whatever records by then.
  const auto counted = pidToBundleMap_;
  for (const auto& [pid, app] : counted) handleMicStop(pid);
  const std::string message = "log stream exited with status " + std::to_string(status);
  log(message);
  sendError(message);
  pendingRestart_ = queue_->asyncAfter(kRestartDelay, [weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self || !self->isMonitoring_) return;
    log("Attempting to restart log stream...");
    self->startLogStream();
  });
}

void MicAppDetector::processLogOutputBuffered(std::string_view text) {
  if (discardingLine_) {
    const size_t nl = text.find('\n');
    if (nl == std::string_view::npos) return;
    text.remove_prefix(nl + 1);
    discardingLine_ = false;
  }
  lineBuffer_.append(text);
  size_t start = 0;
  for (size_t nl; (nl = lineBuffer_.find('\n', start)) != std::string::npos; start = nl + 1)
    if (nl > start) processLogLine(lineBuffer_.substr(start, nl - start));
  lineBuffer_.erase(0, start);
  if (lineBuffer_.size() > kMaxLineLength) {
    lineBuffer_.clear();
    discardingLine_ = true;
  }
}

void MicAppDetector::processLogLine(const std::string& line) {
  ++linesReceived_;
  if (line.find("Filtering") != std::string::npos || line.find("Timestamp") != std::string::npos) return;
  auto record = parseLogLine(line);
  if (!record) return;
  ++pidsFound_;
  // Handled at once rather than queued behind the piece: a queued stop would otherwise come
  // out after the error of a log tool that ended right after writing it, and a queued
  // start after a stopMonitoring that came in between.
  if (record->inputRunning)
    resolvePIDAndEmit(record->pid, record->processName);
  else
    handleMicStop(record->pid);
}

std::optional<MicAppDetector::LogRecord> MicAppDetector::parseLogLine(std::string_view line) {
  const size_t brace = line.find('{');
  if (brace == std::string_view::npos) return std::nullopt;
  auto json = nlohmann::json::parse(line.substr(brace), nullptr, false);
  if (!json.is_object()) return std::nullopt;
  auto session = json.find("session");
  if (session == json.end() || !session->is_object()) return std::nullopt;
  auto name = session->find("name");
  if (name == session->end() || !name->is_string()) return std::nullopt;
  auto details = json.find("details");
  if (details == json.end() || !details->is_object()) return std::nullopt;
  auto running = details->find("input_running");
  if (running == details->end() || !running->is_boolean()) return std::nullopt;

  // The name ends in "(<digits>)".
  const std::string& text = name->get_ref<const std::string&>();
  if (text.size() < 3 || text.back() != ')') return std::nullopt;
  const size_t digitsEnd = text.size() - 1;
  size_t digitsBegin = digitsEnd;
  while (digitsBegin > 0 && text[digitsBegin - 1] >= '0' && text[digitsBegin - 1] <= '9') --digitsBegin;
  if (digitsBegin == digitsEnd || digitsBegin == 0 || text[digitsBegin - 1] != '(') return std::nullopt;
  int32_t pid = 0;
  auto [end, error] = std::from_chars(text.data() + digitsBegin, text.data() + digitsEnd, pid);
  if (error != std::errc() || end != text.data() + digitsEnd) return std::nullopt;
  return LogRecord{text.substr(0, digitsBegin - 1), pid, running->get<bool>()};
}

// ---- Start and stop of microphone use ----------------------------------------------------

std::optional<MicAppDetector::AppRef> MicAppDetector::resolve(int32_t pid, const std::string& processNameHint) {
  if (auto cached = pidCache_.find(pid); cached != pidCache_.end()) return cached->second;
  if (apps_) {
    // The application the process belongs to (a helper process maps to its application).
    if (auto app = apps_->applicationFor(pid)) {
      if (!app->bundleIdentifier.empty()) {
        AppRef ref{app->bundleIdentifier, app->name.empty() ? app->bundleIdentifier : app->name};
        pidCache_[pid] = ref;
        return ref;
      }
    } else if (auto path = apps_->executablePath(pid)) {
      // A sound server named in place of its client is no application.
      if (isSoundServerProgram(executableName(*path))) return std::nullopt;
      return AppRef{"path:" + *path, executableName(*path)};
    }
  }
  const std::string hint = lowercase(processNameHint);
  auto named = [&](std::string_view daemon) { return hint.find(daemon) != std::string::npos; };
  if (std::any_of(kDaemonSkipList.begin(), kDaemonSkipList.end(), named) ||
      std::any_of(kSoundServerPrograms.begin(), kSoundServerPrograms.end(), named))
    return std::nullopt;
  return AppRef{"process:" + processNameHint, processNameHint};
}

void MicAppDetector::resolvePIDAndEmit(int32_t pid, const std::string& processNameHint) {
  // A counted process keeps the application it started as: resolved again it may be gone
  // already (its stream stopping as it exits still says its process runs), and would then
  // be taken for another application, which would get this process's stop.
  if (pidToBundleMap_.count(pid)) return;
  const double now = executor_.clock().now();
  if (now - pidCacheTime_ > kPidCacheMaxAge) warmPidCache();
  auto app = resolve(pid, processNameHint);
  if (!app) return;

  pidToBundleMap_[pid] = *app;
  auto& pids = activePIDsByBundle_[app->bundleId];
  const bool wasEmpty = pids.empty();
  pids.insert(pid);
  if (!wasEmpty) return;  // the application is already known to use the microphone
  if (app->bundleId == lastEmitBundleId_ && now - lastEmitTime_ < kDedupeWindow) return;

  lastDetectedApp_ = DetectedApp{app->bundleId, app->appName, pid, now};
  writeEvent("MIC_APP_EVENT:",
             {{"bundleId", app->bundleId}, {"appName", app->appName}, {"pid", pid}, {"timestamp", now}});
  log("Detected app: " + app->appName + " (" + app->bundleId + ")");
  lastEmitBundleId_ = app->bundleId;
  lastEmitTime_ = now;
}

void MicAppDetector::handleMicStop(int32_t pid) {
  auto counted = pidToBundleMap_.find(pid);
  if (counted == pidToBundleMap_.end()) return;
  const AppRef app = counted->second;
  pidToBundleMap_.erase(counted);
  auto active = activePIDsByBundle_.find(app.bundleId);
  if (active == activePIDsByBundle_.end()) return;
  active->second.erase(pid);
  if (!active->second.empty()) return;
  activePIDsByBundle_.erase(active);
  // A new start of the same application is reported at once.
  if (lastEmitBundleId_ == app.bundleId) {
    lastEmitBundleId_.clear();
    lastEmitTime_ = 0;
  }
  writeEvent(
      "MIC_APP_STOP_EVENT:",
      {{"bundleId", app.bundleId}, {"appName", app.appName}, {"pid", pid}, {"timestamp", executor_.clock().now()}});
  log("App stopped using mic: " + app.appName + " (" + app.bundleId + ")");
}

void MicAppDetector::sendError(const std::string& error) {
  writeEvent("MIC_APP_ERROR:", {{"error", error}, {"timestamp", executor_.clock().now()}});
}

}  // namespace qb
