#pragma once
// The helper's only control path: takes command lines one at a time, runs each to
// completion and owns the long-lived services they create.

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "audio/SimpleAudioStreamer.hpp"
#include "host/CommandParser.hpp"
#include "host/CommandServices.hpp"
#include "host/LineQueue.hpp"
#include "monitoring/MicSampleQueue.hpp"
#include "platform/Platform.hpp"

namespace qb {

class CommandLoop {
 public:
  using Handler = std::function<void(const CommandLine&)>;
  // Ends the process. Production never returns from it; when it does (tests), the loop
  // takes no further line.
  using ExitFunction = std::function<void(int status)>;
  // Opens the line stream; called once by run(), after the ready lines.
  using LineSourceFactory = std::function<std::shared_ptr<LineSource>()>;

  CommandLoop(Platform platform, LineSourceFactory openLines, ExitFunction exit, CommandServices services = {});
  ~CommandLoop();
  CommandLoop(const CommandLoop&) = delete;
  CommandLoop& operator=(const CommandLoop&) = delete;

  // Runs on the calling thread until input ends (the services stay as they are, held
  // by the loop) or STOP has ended the process.
  void run();

  // Adds or replaces the action of a command word (upper case).
  void setHandler(const std::string& word, Handler handler);

  // The services held right now (for tests and the commands added by setHandler).
  std::shared_ptr<SimpleAudioStreamer> streamer() const { return streamer_; }
  std::shared_ptr<VideoSource> videoSource() const { return videoSource_; }
  std::shared_ptr<MonitoringService> microphoneMonitor() const { return monitor_; }
  const Platform& platform() const { return platform_; }

  static constexpr double kStopExitDelay = 0.1;
  static constexpr int kSampleDurationMs = 200;
  static constexpr int kMaxConcurrentSamples = 3;

 private:
  void dispatch(const std::string& line);

  void startStreaming(const CommandLine& cmd);
  // Whether the platform lists a capture device of that uniqueID now.
  bool microphoneListed(const std::string& uniqueID) const;
  void testWav(const CommandLine& cmd);
  void stop(const CommandLine& cmd);
  void startMicMonitoring(const CommandLine& cmd);
  void stopMicMonitoring(const CommandLine& cmd);
  void startVideo(const CommandLine& cmd);
  void switchVideo(const CommandLine& cmd);
  void stopVideo(const CommandLine& cmd);
  void healthCheck(const CommandLine& cmd);
  void deviceDiagnostic(const CommandLine& cmd);
  void sampleRunningMics(const CommandLine& cmd);

  Platform platform_;
  Executor& executor_;
  LineSourceFactory openLines_;
  ExitFunction exit_;
  CommandServices services_;
  std::unordered_map<std::string, Handler> handlers_;
  bool exited_ = false;

  std::shared_ptr<SimpleAudioStreamer> streamer_;
  // The streamer's microphone channel when it is the live microphone (START_STREAMING).
  std::shared_ptr<LiveMicrophone> microphone_;
  std::shared_ptr<VideoSource> videoSource_;
  std::shared_ptr<MonitoringService> monitor_;
  std::shared_ptr<MonitoringService> detector_;
  // SAMPLE_RUNNING_MICS, one sampling at a time; STOP ends it.
  std::shared_ptr<MicSampleQueue> micSamples_;
};

}  // namespace qb
