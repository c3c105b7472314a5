// Live audio figures:
//  1. delay inside the helper, from a capture buffer's arrival to the frame that carries
//     it being written: the real streamer on the production executor, fed by two sources
//     that deliver 10 ms buffers in real time, with the write time of every frame
//     recorded through the output sink;
//  2. CPU of the built helper streaming both channels from the private sound server
//     (scripts/test-env) with tones playing, read from /proc/<pid>/stat, beside ffmpeg and
//     two parec recording the same two devices in turn (and the --compare build), each with
//     the server's CPU;
//  3. start-up: from sending START_STREAMING (a second after the helper said it is ready,
//     as a host would) to its answer and to the first frame of each channel, the median of
//     --startup-runs runs; with --compare PATH another build is run in turn with it on the
//     same server and the ratio printed.
//
//   bench_live_audio [--delay-seconds N] [--cpu-seconds N] [--cpu-rounds N] [--startup-runs N] [--binary PATH]
//                    [--compare PATH]
//
// The CPU figure needs PULSE_SERVER and DISPLAY (eval "$(scripts/test-env start)"); without them it
// is skipped.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <numbers>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "HelperProcess.hpp"
#include "ProcessStats.hpp"
#include "ProtocolReader.hpp"
#include "TonePlayer.hpp"
#include "audio/AudioSource.hpp"
#include "audio/SimpleAudioStreamer.hpp"
#include "runtime/ProcessSpawn.hpp"
#include "runtime/ThreadExecutor.hpp"
#include "wire/Output.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using qbtools::cpuSeconds;
using qbtools::statusKiB;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  auto i = static_cast<size_t>(std::ceil(p / 100.0 * double(v.size()))) - 1;
  return v[std::min(i, v.size() - 1)];
}

// ---- 1. Delay inside the helper -------------------------------------------------------

// Delivers 10 ms buffers of 48 kHz stereo s16le on its own thread at real-time pace, as a
// capture callback would, and notes when each one was handed over.
class PacedSource final : public qb::AudioSource {
 public:
  PacedSource(std::string id, qb::AudioProtocol::FrameType type) : id_(std::move(id)), type_(type) {}
  ~PacedSource() override { stop(); }

  const std::string& sourceID() const override { return id_; }
  qb::AudioProtocol::FrameType frameType() const override { return type_; }
  void setOnAudioData(qb::AudioDataCallback callback) override { callback_ = std::move(callback); }
  std::optional<qb::SourceError> start() override {
    active_ = true;
    thread_ = std::thread([this] { run(); });
    return std::nullopt;
  }
  void stop() override {
    active_ = false;
    if (thread_.joinable()) thread_.join();
  }
  bool isActive() const override { return active_; }

  // Arrival time of every buffer delivered (read after stop()).
  const std::vector<Clock::time_point>& arrivals() const { return arrivals_; }
  static constexpr size_t kBufferBytes = 1920;  // 10 ms

 private:
  void run() {
    std::vector<uint8_t> buffer(kBufferBytes);
    auto next = Clock::now();
    size_t n = 0;
    while (active_) {
      for (size_t i = 0; i < kBufferBytes / 4; ++i, ++n) {
        auto v = static_cast<int16_t>(8000 * std::sin(2 * std::numbers::pi * 1000 * double(n) / 48000));
        std::memcpy(&buffer[4 * i], &v, 2);
        std::memcpy(&buffer[4 * i + 2], &v, 2);
      }
      std::this_thread::sleep_until(next);
      arrivals_.push_back(Clock::now());
      callback_(buffer, 0);
      next += 10ms;
    }
  }

  std::string id_;
  qb::AudioProtocol::FrameType type_;
  qb::AudioDataCallback callback_;
  std::atomic<bool> active_{false};
  std::thread thread_;
  std::vector<Clock::time_point> arrivals_;
};

void measureDelay(double seconds) {
  std::printf("== delay from buffer arrival to frame write (in process, %.0f s, 10 ms buffers)\n", seconds);
  std::mutex mutex;
  qbtools::FrameParser parser(false);
  std::vector<Clock::time_point> written[2];  // per channel, indexed by sequence
  qb::OutputSink sink;
  sink.stdoutBytes = [&](std::span<const uint8_t> bytes) {
    auto now = Clock::now();
    std::lock_guard lock(mutex);
    for (const auto& f : parser.feed(bytes, now)) {
      auto& w = written[f.type - 1];
      if (f.sequence == w.size()) w.push_back(now);
    }
  };
  sink.stderrLine = [](std::string_view) {};
  qb::ScopedOutputSink scoped(sink);

  auto mic = std::make_shared<PacedSource>("mic", qb::AudioProtocol::FrameType::mic);
  auto system = std::make_shared<PacedSource>("system", qb::AudioProtocol::FrameType::system);
  {
    qb::ThreadExecutor executor;
    auto streamer = std::make_shared<qb::SimpleAudioStreamer>(executor, mic, system);
    streamer->start();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    streamer->stop();
    std::this_thread::sleep_for(250ms);  // the last tick
  }

  std::lock_guard lock(mutex);
  const PacedSource* sources[2] = {mic.get(), system.get()};
  const char* names[2] = {"mic", "system"};
  for (int c = 0; c < 2; ++c) {
    const auto& arrivals = sources[c]->arrivals();
    std::vector<double> all, completing;
    for (size_t k = 0; k < arrivals.size(); ++k) {
      size_t frame = k / 2;  // two 10 ms buffers per 20 ms frame
      if (frame >= written[c].size()) break;
      double d = ms(written[c][frame] - arrivals[k]);
      all.push_back(d);
      if (k % 2 == 1) completing.push_back(d);
    }
    std::printf(
        "  %-6s %5zu buffers: p50 %6.1f ms  p99 %6.1f ms  max %6.1f ms   (last buffer of its frame: p50 %.1f, p99 "
        "%.1f ms)\n",
        names[c], all.size(), percentile(all, 50), percentile(all, 99), percentile(all, 100),
        percentile(completing, 50), percentile(completing, 99));
  }
}

// ---- 2. CPU of the real helper beside ffmpeg and parec ------------------------------

// CPU seconds of the sound server's processes (PulseAudio, or PipeWire with its pulse
// interface and session manager), from the pid files of scripts/test-env.
double serverCpuSeconds() {
  const char* dir = std::getenv("QB_TEST_ENV_DIR");
  double total = 0;
  for (const char* name : {"pulse.pid", "pipewire.pid", "pipewire-pulse.pid", "wireplumber.pid"}) {
    std::ifstream in(std::filesystem::path(dir ? dir : "/tmp/quellbrook-test-env") / name);
    pid_t pid = 0;
    if (in >> pid && pid > 0) total += cpuSeconds(pid);
  }
  return total;
}

struct CpuFigure {
  double client = 0, server = 0, wall = 0;
};

// Samples the CPU of `pid` and of the server over `seconds` of real time.
CpuFigure sampleCpu(pid_t pid, double seconds) {
  const double cpu0 = cpuSeconds(pid), server0 = serverCpuSeconds();
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double cpu1 = cpuSeconds(pid), server1 = serverCpuSeconds();
  return {cpu1 - cpu0, server1 - server0, std::chrono::duration<double>(Clock::now() - t0).count()};
}

std::optional<CpuFigure> helperCpu(const std::string& binary, double seconds) {
  qbtools::HelperOptions options;
  options.binary = binary;
  options.keepFramePayloads = false;
  qbtools::HelperProcess helper(options);
  helper.send("START_STREAMING");
  if (!helper.waitForResponse("STREAMING:started", 10)) return std::nullopt;
  // Measure from the moment both channels deliver.
  for (uint8_t type : {1, 2})
    if (!helper.waitForFrames(10, 10, [type](const qbtools::Frame& f) { return f.type == type && f.level > 1000; }))
      return std::nullopt;
  const size_t frames0 = helper.frameCount();
  CpuFigure figure = sampleCpu(helper.pid(), seconds);
  const size_t frames = helper.frameCount() - frames0;
  const long hwm = statusKiB(helper.pid(), "VmHWM"), rss = statusKiB(helper.pid(), "VmRSS");
  helper.send("STOP");
  helper.waitForExit(10);
  std::printf("  helper: %.1f frames per second per channel, RSS %ld KiB, peak RSS %ld KiB\n",
              double(frames) / figure.wall / 2, rss, hwm);
  return figure;
}

// Runs the commands together (both channels each), measures them as one after a second of
// warm-up, then ends them.
std::optional<CpuFigure> commandsCpu(const std::vector<std::vector<std::string>>& commands, double seconds) {
  std::vector<pid_t> pids;
  for (const auto& argv : commands)
    if (pid_t pid = qb::spawnWithDefaultSignals(argv, -1, -1, -1); pid > 0) pids.push_back(pid);
  std::this_thread::sleep_for(1s);
  std::optional<CpuFigure> figure;
  if (pids.size() == commands.size()) {
    figure = CpuFigure{};
    const double server0 = serverCpuSeconds();
    std::vector<double> cpu0;
    for (pid_t pid : pids) cpu0.push_back(cpuSeconds(pid));
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    for (size_t i = 0; i < pids.size(); ++i) figure->client += cpuSeconds(pids[i]) - cpu0[i];
    for (pid_t pid : pids)
      if (::waitpid(pid, nullptr, WNOHANG) != 0) figure.reset();  // it ended early
    if (figure) {
      figure->server = serverCpuSeconds() - server0;
      figure->wall = std::chrono::duration<double>(Clock::now() - t0).count();
    }
  }
  for (pid_t pid : pids) ::kill(pid, SIGTERM);
  for (pid_t pid : pids) ::waitpid(pid, nullptr, 0);
  return figure;
}

// Both channels as the helper records them (the default microphone and the monitor of the
// default output), taken by ffmpeg and by two parec as 48 kHz stereo s16le, in turn with
// the helper on the same server; the server's CPU is counted for each, since the buffer
// attributes a client asks for decide how often the server must wake for it.
void measureCpu(const std::string& binary, const std::string& compare, double seconds, int rounds) {
  std::printf("== CPU streaming both channels beside ffmpeg and two parec (%d x %.0f s each, tones playing)\n", rounds,
              seconds);
  if (!std::getenv("PULSE_SERVER") || !std::getenv("DISPLAY")) {
    std::printf("  skipped: PULSE_SERVER or DISPLAY unset (eval \"$(scripts/test-env start)\")\n");
    return;
  }
  qbtools::TonePlayer speakers("speakers", 1000, 0.5);
  qbtools::TonePlayer mic("mic1", 600, 0.25);
  const std::vector<std::string> format{"--format=s16le", "--rate=48000", "--channels=2"};
  auto parec = [&](const std::string& device) {
    std::vector<std::string> argv{"parec", "--device=" + device, "--raw"};
    argv.insert(argv.end(), format.begin(), format.end());
    return argv;
  };
  const std::vector<std::vector<std::string>> ffmpeg{{"ffmpeg",    "-nostdin",  "-loglevel",    "error",
                                                      "-f",        "pulse",     "-sample_rate", "48000",
                                                      "-channels", "2",         "-i",           "@DEFAULT_SOURCE@",
                                                      "-f",        "pulse",     "-sample_rate", "48000",
                                                      "-channels", "2",         "-i",           "@DEFAULT_MONITOR@",
                                                      "-map",      "0",         "-f",           "s16le",
                                                      "-y",        "/dev/null", "-map",         "1",
                                                      "-f",        "s16le",     "-y",           "/dev/null"}};
  const std::vector<std::vector<std::string>> twoParec{parec("@DEFAULT_SOURCE@"), parec("@DEFAULT_MONITOR@")};
  std::vector<std::string> names{"helper", "ffmpeg", "2 x parec", "server idle"};
  if (!compare.empty()) names.push_back(compare);
  std::vector<CpuFigure> sums(names.size());
  for (int r = 0; r < rounds; ++r) {  // in turn, so that all see the same machine load
    std::vector<std::optional<CpuFigure>> figures{helperCpu(binary, seconds), commandsCpu(ffmpeg, seconds),
                                                  commandsCpu(twoParec, seconds),
                                                  commandsCpu({{"sleep", "1000"}}, seconds)};
    if (!compare.empty()) figures.push_back(helperCpu(compare, seconds));
    for (size_t i = 0; i < names.size(); ++i) {
      if (!figures[i]) {
        std::printf("  %s did not run; no figures\n", names[i].c_str());
        return;
      }
      sums[i].client += figures[i]->client;
      sums[i].server += figures[i]->server;
      sums[i].wall += figures[i]->wall;
    }
  }
  std::printf("  CPU s per captured second:  own     server  whole   whole / ffmpeg's\n");
  const auto perSecond = [](double cpu, double wall) { return wall > 0 ? cpu / wall : 0; };
  const double ffmpegWhole = perSecond(sums[1].client + sums[1].server, sums[1].wall);
  for (size_t i = 0; i < names.size(); ++i) {
    const double own = i == 3 ? 0 : perSecond(sums[i].client, sums[i].wall);
    const double server = perSecond(sums[i].server, sums[i].wall);
    std::printf("  %-26s %.4f  %.4f  %.4f  %.2f\n", names[i].c_str(), own, server, own + server,
                ffmpegWhole > 0 ? (own + server) / ffmpegWhole : 0);
  }
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) == 3) std::printf("  load average %.2f %.2f %.2f\n", load[0], load[1], load[2]);
}

// ---- 3. Start-up of the real helper ---------------------------------------------------

struct Startup {
  double answer = 0, mic = 0, system = 0;  // ms after sending START_STREAMING
};

std::optional<Startup> startOnce(const std::string& binary) {
  qbtools::HelperOptions options;
  options.binary = binary;
  options.keepFramePayloads = false;
  qbtools::HelperProcess helper(options);
  if (!helper.waitForLine([](const qbtools::Line& l) { return l.text == "Helper ready, waiting for commands..."; }, 10))
    return std::nullopt;
  std::this_thread::sleep_for(1s);
  const auto sent = Clock::now();
  helper.send("START_STREAMING");
  auto answer = helper.waitForResponse("STREAMING:started", 10);
  Startup s;
  bool both = true;
  for (uint8_t type : {1, 2})
    both = helper.waitForFrames(1, 10, [type](const qbtools::Frame& f) { return f.type == type; }) && both;
  helper.send("STOP");
  helper.waitForExit(10);
  if (!answer || !both) return std::nullopt;
  s.answer = ms(answer->received - sent);
  for (const auto& f : helper.frames()) {
    double& first = f.type == 1 ? s.mic : s.system;
    if (first == 0) first = ms(f.received - sent);
  }
  return s;
}

void measureStartup(const std::string& binary, const std::string& compare, int runs) {
  std::printf("== START_STREAMING to its answer and first frames (median of %d runs, tones playing)\n", runs);
  if (!std::getenv("PULSE_SERVER") || !std::getenv("DISPLAY")) {
    std::printf("  skipped: PULSE_SERVER or DISPLAY unset (eval \"$(scripts/test-env start)\")\n");
    return;
  }
  qbtools::TonePlayer speakers("speakers", 1000, 0.5);
  qbtools::TonePlayer mic("mic1", 600, 0.25);
  std::vector<std::string> binaries{binary};
  if (!compare.empty()) binaries.push_back(compare);
  std::vector<std::vector<Startup>> results(binaries.size());
  for (int r = 0; r < runs; ++r)  // in turn, so that both see the same machine load
    for (size_t b = 0; b < binaries.size(); ++b)
      if (auto s = startOnce(binaries[b])) results[b].push_back(*s);
  std::vector<double> medians[3];
  for (size_t b = 0; b < binaries.size(); ++b) {
    std::vector<double> answer, micFirst, systemFirst;
    for (const auto& s : results[b]) {
      answer.push_back(s.answer);
      micFirst.push_back(s.mic);
      systemFirst.push_back(s.system);
    }
    medians[0].push_back(percentile(answer, 50));
    medians[1].push_back(percentile(micFirst, 50));
    medians[2].push_back(percentile(systemFirst, 50));
    std::printf("  %s (%zu good runs): answer %.1f ms, first mic frame %.1f ms, first system frame %.1f ms\n",
                binaries[b].c_str(), results[b].size(), medians[0][b], medians[1][b], medians[2][b]);
  }
  if (binaries.size() == 2 && medians[0][1] > 0 && medians[1][1] > 0 && medians[2][1] > 0)
    std::printf("  ratio first/second: answer %.2f, first mic frame %.2f, first system frame %.2f\n",
                medians[0][0] / medians[0][1], medians[1][0] / medians[1][1], medians[2][0] / medians[2][1]);
}

}  // namespace

int main(int argc, char** argv) {
  double delaySeconds = 10, cpuSecondsToRun = 20;
  int startupRuns = 7, cpuRounds = 1;
  std::string binary = (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "quellbrook").string();
  std::string compare;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--delay-seconds") delaySeconds = std::atof(argv[i + 1]);
    if (a == "--cpu-seconds") cpuSecondsToRun = std::atof(argv[i + 1]);
    if (a == "--cpu-rounds") cpuRounds = std::atoi(argv[i + 1]);
    if (a == "--startup-runs") startupRuns = std::atoi(argv[i + 1]);
    if (a == "--binary") binary = argv[i + 1];
    if (a == "--compare") compare = argv[i + 1];
  }
  ::signal(SIGPIPE, SIG_IGN);
  measureDelay(delaySeconds);
  measureCpu(binary, compare, cpuSecondsToRun, cpuRounds);
  measureStartup(binary, compare, startupRuns);
  return 0;
}
