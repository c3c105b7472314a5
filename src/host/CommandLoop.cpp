#include "host/CommandLoop.hpp"

#include <exception>
#include <filesystem>
#include <variant>

#include "host/VideoArguments.hpp"
#include "monitoring/DeviceListing.hpp"
#include "monitoring/MicTapHarness.hpp"
#include "screen/CaptureTargets.hpp"
#include "screen/Screenshot.hpp"
#include "sources/WAVFileSource.hpp"
#include "wire/DoubleFormat.hpp"
#include "wire/Output.hpp"
#include "wire/StderrWriter.hpp"

namespace qb {

namespace {

// The last component of a file path as a file URL names it: trailing slashes do not
// count, "/" is itself, and the empty path stands for the current directory.
std::string lastPathComponent(const std::string& path) {
  if (path.empty()) {
    std::error_code ec;
    auto cwd = std::filesystem::current_path(ec);
    return ec ? std::string() : cwd.filename().string();
  }
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return "/";
  size_t slash = path.rfind('/', end);
  return path.substr(slash == std::string::npos ? 0 : slash + 1,
                     end - (slash == std::string::npos ? 0 : slash + 1) + 1);
}

// START_STREAMING's argument: once ignored, so only one that opens a JSON object says
// something (`micDeviceId`, a device id from DEVICES_LIST); anything else is ignored as it
// always was. Returns the chosen microphone or the error answer's text.
std::variant<std::optional<std::string>, std::string> parseStreamingArgument(
    const std::optional<std::string>& argument) {
  if (!argument || !argument->starts_with('{')) {
    if (argument && !argument->empty()) logToStderr("START_STREAMING: argument ignored (not a JSON object)");
    return std::optional<std::string>{};
  }
  auto parsed = parseJsonObjectArgument(argument);
  if (auto* error = std::get_if<VideoArgumentError>(&parsed)) return error->text;
  const auto& json = std::get<nlohmann::json>(parsed);
  auto id = json.find("micDeviceId");
  if (id == json.end()) return std::optional<std::string>{};
  if (!id->is_string() || id->get_ref<const std::string&>().empty()) return std::string("invalid_mic_device_id");
  return std::optional<std::string>{id->get<std::string>()};
}

}  // namespace

bool CommandLoop::microphoneListed(const std::string& uniqueID) const {
  if (!platform_.audio) return false;
  for (const auto& device : platform_.audio->discoverDevices())
    if (device.uniqueID == uniqueID) return true;
  return false;
}

CommandLoop::CommandLoop(Platform platform, LineSourceFactory openLines, ExitFunction exit, CommandServices services)
    : platform_(std::move(platform)),
      executor_(*platform_.executor),
      openLines_(std::move(openLines)),
      exit_(std::move(exit)),
      services_(std::move(services)) {
  auto bind = [this](void (CommandLoop::*action)(const CommandLine&)) {
    return [this, action](const CommandLine& cmd) { (this->*action)(cmd); };
  };
  handlers_ = {
      {"START_STREAMING", bind(&CommandLoop::startStreaming)},
      {"TEST_WAV", bind(&CommandLoop::testWav)},
      {"STOP", bind(&CommandLoop::stop)},
      {"STOP_MIC_MONITORING", bind(&CommandLoop::stopMicMonitoring)},
      {"START_VIDEO", bind(&CommandLoop::startVideo)},
      {"SWITCH_VIDEO", bind(&CommandLoop::switchVideo)},
      {"STOP_VIDEO", bind(&CommandLoop::stopVideo)},
      {"HEALTH_CHECK", bind(&CommandLoop::healthCheck)},
      {"GET_DEVICE_DIAGNOSTIC", bind(&CommandLoop::deviceDiagnostic)},
      {"TEST_MIC_TAP", [this](const CommandLine&) { runMicTapHarnessCommand(executor_); }},
  };
  if (services_.makeMicrophoneMonitor) handlers_["START_MIC_MONITORING"] = bind(&CommandLoop::startMicMonitoring);
  if (platform_.audio) {
    handlers_["LIST_DEVICES"] = [this](const CommandLine&) { listDevices(*platform_.audio); };
    handlers_["GET_CURRENT_MIC"] = [this](const CommandLine&) { getCurrentMicDevice(*platform_.audio); };
    handlers_["SAMPLE_RUNNING_MICS"] = bind(&CommandLoop::sampleRunningMics);
  }
  if (platform_.screen) {
    handlers_["LIST_WINDOWS"] = [this](const CommandLine&) {
      sendCommandResponse("LIST_WINDOWS:" + captureTargetsJSON(listCaptureTargets(executor_, *platform_.screen)));
    };
    if (platform_.images)
      handlers_["SCREENSHOT"] = [this](const CommandLine&) {
        captureScreenshot(executor_, *platform_.screen, *platform_.images);
      };
  }
}

CommandLoop::~CommandLoop() = default;

void CommandLoop::setHandler(const std::string& word, Handler handler) { handlers_[word] = std::move(handler); }

void CommandLoop::run() {
  // Answers may wait for a host that floods commands without reading them, as they would
  // on a full pipe; no other thread's lines ever wait.
  StderrWriter::setCallerMayWait(true);
  logToStderr("runApp() called - helper in IDLE mode");
  logToStderr("Helper ready, waiting for commands...");
  auto lines = openLines_();
  while (!exited_) {
    auto line = lines->nextLine();
    if (!line) break;
    dispatch(*line);
  }
  lines->shutdown();
  // End of input stops nothing, and the services stay held: what runs keeps running
  // until the process is terminated, whatever state each service's own work is in.
}

void CommandLoop::dispatch(const std::string& line) {
  logToStderr("Received command: " + line);
  CommandLine cmd = parseCommandLine(line);
  auto it = handlers_.find(cmd.command);
  if (it == handlers_.end()) {
    logToStderr("Unknown command: " + line);
    return;
  }
  try {
    it->second(cmd);
  } catch (const std::exception& e) {
    // No command failure may end the loop.
    logToStderr(cmd.command + " failed: " + e.what());
  }
}

void CommandLoop::startStreaming(const CommandLine& cmd) {
  if (streamer_) {
    sendCommandResponse("STREAMING:already_active");
    return;
  }
  auto choice = parseStreamingArgument(cmd.argument);
  if (auto* error = std::get_if<std::string>(&choice)) {
    logToStderr("START_STREAMING error: " + *error);
    sendCommandResponse("STREAMING:error:" + *error);
    return;
  }
  const auto& micID = std::get<std::optional<std::string>>(choice);
  if (micID && !microphoneListed(*micID)) {
    logToStderr("START_STREAMING error: no microphone " + *micID + " (LIST_DEVICES lists them)");
    sendCommandResponse("STREAMING:error:mic_device_not_found");
    return;
  }
  logToStderr("Starting streaming mode...");
  auto microphone = services_.makeMicrophone ? services_.makeMicrophone(micID) : nullptr;
  auto system = services_.makeSystemAudio ? services_.makeSystemAudio() : nullptr;
  auto streamer = std::make_shared<SimpleAudioStreamer>(executor_, microphone, std::move(system));
  streamer->start();
  streamer_ = std::move(streamer);
  microphone_ = std::move(microphone);
  sendCommandResponse("STREAMING:started");
}

void CommandLoop::testWav(const CommandLine& cmd) {
  const std::string path = cmd.argument.value_or("");
  logToStderr("TEST_WAV command: path=" + path);
  if (streamer_) {
    sendCommandResponse("TEST_WAV:error:streamer_already_active");
    return;
  }
  logToStderr("Creating WAV file sources from " + lastPathComponent(path) + "...");
  auto fail = [](const std::string& error) {
    logToStderr("TEST_WAV error: " + error);
    sendCommandResponse("TEST_WAV:error:" + error);
  };
  // One open file serves both channels; blocks are read as they play.
  auto file = WavFile::open(path);
  if (auto* error = std::get_if<std::string>(&file)) return fail(*error);
  std::shared_ptr<AudioSource> sources[2];
  const AudioProtocol::FrameType types[2] = {AudioProtocol::FrameType::mic, AudioProtocol::FrameType::system};
  for (int i = 0; i < 2; ++i) {
    auto made = WAVFileSource::make(executor_, std::get<std::shared_ptr<const WavFile>>(file), path, types[i]);
    if (auto* error = std::get_if<std::string>(&made)) return fail(*error);
    sources[i] = std::get<std::shared_ptr<WAVFileSource>>(std::move(made));
  }
  logToStderr("Creating streamer with injected test sources...");
  auto streamer = std::make_shared<SimpleAudioStreamer>(executor_, sources[0], sources[1]);
  streamer->start();
  sendCommandResponse("TEST_WAV:started:" + path);
  streamer_ = std::move(streamer);
}

void CommandLoop::stop(const CommandLine&) {
  logToStderr("Stopping all services...");
  if (videoSource_) videoSource_->stop();
  // A sampling cut short reports nothing: its sessions stop with the rest.
  if (micSamples_) micSamples_->cancel();
  if (monitor_) monitor_->stopMonitoring();
  if (detector_) detector_->stopMonitoring();
  if (streamer_) streamer_->stop();
  sendCommandResponse("STOPPED:ok");
  // Give the host a moment to read the answer before the pipes close.
  executor_.sleep(kStopExitDelay);
  exited_ = true;
  exit_(0);
}

void CommandLoop::startMicMonitoring(const CommandLine&) {
  if (monitor_) {
    sendCommandResponse("MIC_MONITORING:already_active");
    return;
  }
  logToStderr("Starting mic monitoring...");
  auto monitor = services_.makeMicrophoneMonitor();
  if (monitor) monitor->startMonitoring();
  auto detector = services_.makeMicAppDetector ? services_.makeMicAppDetector() : nullptr;
  if (detector) detector->startMonitoring();
  monitor_ = std::move(monitor);
  detector_ = std::move(detector);
  sendCommandResponse("MIC_MONITORING:started");
}

void CommandLoop::stopMicMonitoring(const CommandLine&) {
  if (!monitor_) {
    sendCommandResponse("MIC_MONITORING:not_active");
    return;
  }
  logToStderr("Stopping mic monitoring...");
  monitor_->stopMonitoring();
  if (detector_) detector_->stopMonitoring();
  monitor_.reset();
  detector_.reset();
  sendCommandResponse("MIC_MONITORING:stopped");
}

void CommandLoop::startVideo(const CommandLine& cmd) {
  auto parsed = parseStartVideoArguments(cmd.argument);
  if (auto* error = std::get_if<VideoArgumentError>(&parsed)) {
    if (error->kind == VideoArgumentError::Kind::unparsable) logToStderr("START_VIDEO error: " + error->text);
    sendCommandResponse("START_VIDEO:error:" + error->text);
    return;
  }
  const auto& settings = std::get<VideoSettings>(parsed);

  if (videoSource_) {
    if (videoSource_->isActive()) {
      sendCommandResponse("START_VIDEO:error:already_active");
      return;
    }
    logToStderr("ScreenVideoSource: cleaning up dead video source before restart");
    videoSource_.reset();
  }

  auto source = services_.makeVideoSource ? services_.makeVideoSource(settings.format) : nullptr;
  std::optional<ScreenVideoError> error;
  if (!source)
    error = VideoSourceError::targetNotFound("Screen capture is not available in this build");
  else
    error = source->start(settings.target);
  if (error) {
    const std::string description = describe(*error);
    logToStderr("START_VIDEO error: " + description);
    sendCommandResponse("START_VIDEO:error:" + description);
    return;
  }
  videoSource_ = std::move(source);
  sendCommandResponse("START_VIDEO:started");
}

void CommandLoop::switchVideo(const CommandLine& cmd) {
  auto parsed = parseSwitchVideoArguments(cmd.argument);
  if (auto* error = std::get_if<VideoArgumentError>(&parsed)) {
    if (error->kind == VideoArgumentError::Kind::unparsable) logToStderr("SWITCH_VIDEO error: " + error->text);
    sendCommandResponse("SWITCH_VIDEO:error:" + error->text);
    return;
  }
  const auto& target = std::get<VideoTarget>(parsed);
  if (!videoSource_) {
    sendCommandResponse("SWITCH_VIDEO:error:not_active");
    return;
  }
  // Hold our own reference: the source stays the loop's whatever the outcome.
  auto source = videoSource_;
  if (auto error = source->switchTarget(target)) {
    const std::string description = describe(*error);
    logToStderr("SWITCH_VIDEO error: " + description);
    sendCommandResponse("SWITCH_VIDEO:error:" + description);
    return;
  }
  sendCommandResponse("SWITCH_VIDEO:switched");
}

void CommandLoop::stopVideo(const CommandLine&) {
  if (!videoSource_) {
    sendCommandResponse("STOP_VIDEO:not_active");
    return;
  }
  videoSource_->stop();
  videoSource_.reset();
  sendCommandResponse("STOP_VIDEO:stopped");
}

void CommandLoop::healthCheck(const CommandLine&) {
  sendCommandResponse("HEALTH_OK:" + formatShortestDouble(executor_.clock().now()));
}

void CommandLoop::deviceDiagnostic(const CommandLine& cmd) {
  const std::string reason = cmd.argument.value_or("requested");
  if (microphone_) {
    microphone_->emitCaptureProblemDiagnostic(reason);
    logToStderr("Device diagnostic requested: reason=" + reason);
  } else {
    logToStderr("Device diagnostic requested but no active MicrophoneSource");
  }
  writeStderrLine("EVENT:DEVICE_DIAGNOSTIC_REQUESTED");
}

void CommandLoop::sampleRunningMics(const CommandLine& cmd) {
  const std::string reason = cmd.argument.value_or("requested");
  logToStderr("Running mics sample requested: reason=" + reason);
  std::optional<std::string> selected = microphone_ ? microphone_->selectedDeviceID() : std::nullopt;
  if (!micSamples_)
    micSamples_ = MicSampleQueue::make(executor_, platform_.audio, kSampleDurationMs, kMaxConcurrentSamples,
                                       [](const RunningMicsSampleDiagnostic& report) {
                                         if (auto json = encodeRunningMicsSample(report))
                                           writeStderrLine("RUNNING_MICS_SAMPLE:" + *json);
                                         else
                                           logToStderr("Failed to encode running mics sample diagnostic");
                                       });
  // Written before the sampling starts, so that it always precedes the report even when
  // there is nothing to sample.
  writeStderrLine("EVENT:RUNNING_MICS_SAMPLE_STARTED");
  micSamples_->request(reason, std::move(selected));
}

}  // namespace qb
