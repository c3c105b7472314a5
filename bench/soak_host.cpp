// soak_host: drives the helper for a long run as a busy host does (both audio channels and
// 1080p10 video of a display with a moving window), injects a fault every few minutes, and
// writes what came out over time. scripts/soak prepares the environment and runs it.
//
//   soak_host --binary PATH --display :N --minutes M --fault-every SECONDS --out DIR
//             --fault-command PATH
//
// Faults, in turn: the sound server restarted, the default devices switched, windows opened
// and closed, the monitor resized, the X server killed and restarted (by running
// `<fault-command> <name>`), and the host itself not reading standard output and error for
// 20 s. After an X server restart the video is started again, as a host would.
//
// Writes into DIR:
//   soak.csv     one row per 10 s: frames, lost and duplicated frames per channel, latency
//                of each channel's capture times (from the timing lines) and the audio/video
//                drift, the helper's RSS, descriptors and threads
//   faults.csv   when each fault began and ended (seconds), and its name
//   summary.txt  totals, and what was lost outside the faults' windows
//   helper.log   the helper's standard error
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <sys/wait.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "HelperProcess.hpp"
#include "ProcessStats.hpp"
#include "TonePlayer.hpp"
#include "runtime/ProcessSpawn.hpp"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double kBucketSeconds = 10;
constexpr double kStallSeconds = 20;
// Loss within this long after a fault ended is the fault's.
constexpr double kRecoverySeconds = 15;
const char* const kFaults[] = {"restart-pulse",  "switch-defaults", "window-churn",
                               "resize-monitor", "restart-x",       "stall-host"};

struct Options {
  std::string binary, display, out, faultCommand;
  double minutes = 60;
  double faultEvery = 180;
};

int64_t monotonicMicros(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}

double median(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

int countEntries(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return -1;
  int n = 0;
  while (dirent* e = ::readdir(d))
    if (e->d_name[0] != '.') ++n;
  ::closedir(d);
  return n;
}

// Runs a command to its end (at most `timeout` seconds); its exit status, -1 if killed.
int runCommand(const std::vector<std::string>& argv, double timeout) {
  pid_t pid = qb::spawnWithDefaultSignals(argv, -1, -1, -1);
  if (pid < 0) return -1;
  auto deadline = Clock::now() + std::chrono::duration<double>(timeout);
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(100ms);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One channel's sequence bookkeeping and totals.
struct Channel {
  std::optional<uint32_t> last;
  uint64_t totalFrames = 0, totalLost = 0, totalDuplicated = 0, lostOutsideFaults = 0;
};

// What arrived in one 10 s stretch (by arrival time), per frame type.
struct Bucket {
  uint64_t frames[4] = {}, lost[4] = {}, duplicated[4] = {};
  std::vector<double> latencyMs[4];  // arrival minus capture time
};

// A moving window on the soak's display, started again whenever it ends (the X server
// went away).
class MovingWindow {
 public:
  MovingWindow(std::string binary, std::string display) : binary_(std::move(binary)), display_(std::move(display)) {}
  ~MovingWindow() { stop(); }
  void keepRunning() {
    if (pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0) return;
    if (stdin_ >= 0) ::close(stdin_);
    int in[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return;
    std::vector<std::string> env{"DISPLAY=" + display_};
    for (char** e = environ; *e; ++e)
      if (!std::string_view(*e).starts_with("DISPLAY=")) env.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_ = qb::spawnWithDefaultSignals({binary_, "--geometry", "480x360+200+200", "--pattern", "bars"}, in[0], -1, -1,
                                       envp.data());
    ::close(in[0]);
    stdin_ = in[1];
    const std::string animate = "animate move 10\n";
    (void)!::write(stdin_, animate.data(), animate.size());
  }
  void stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
  }

 private:
  std::string binary_, display_;
  pid_t pid_ = -1;
  int stdin_ = -1;
};

class Soak {
 public:
  explicit Soak(Options o) : o_(std::move(o)) {}
  int run();

 private:
  void onFrame(const qbtools::Frame& f);
  void onLine(const qbtools::Line& l);
  void startVideo();
  void writeBucket(int index, pid_t pid);
  bool inFaultWindow(double t) const;
  double since(Clock::time_point when) const { return std::chrono::duration<double>(when - start_).count(); }

  Options o_;
  Clock::time_point start_ = Clock::now();
  std::unique_ptr<qbtools::HelperProcess> helper_;
  std::mutex mutex_;  // guards everything below
  Channel channels_[4];
  std::map<int, Bucket> buckets_;
  // Per channel: the last timing line's (sequence, capture time) for audio; the video origin.
  std::map<int, std::pair<uint32_t, int64_t>> audioTiming_;
  std::optional<int64_t> videoOrigin_;
  bool videoStopped_ = false;
  uint64_t reportedLoss_ = 0;
  std::vector<std::pair<double, double>> faultWindows_;  // begin, end (seconds)
  std::ofstream csv_, faults_;
  long peakRss_ = 0, firstRss_ = -1;
  int firstFds_ = -1, lastFds_ = -1, firstThreads_ = -1, lastThreads_ = -1;
  long lastRss_ = 0;
};

void Soak::onFrame(const qbtools::Frame& f) {
  if (f.type < 1 || f.type > 3) return;
  std::lock_guard lock(mutex_);
  Channel& c = channels_[f.type];
  const double t = since(f.received);
  Bucket& b = buckets_[static_cast<int>(t / kBucketSeconds)];
  if (c.last && f.type == 3 && f.sequence == 0) c.last.reset();  // a new video run
  if (c.last && f.sequence > *c.last + 1) {
    const uint64_t gap = f.sequence - *c.last - 1;
    b.lost[f.type] += gap;
    c.totalLost += gap;
    if (!inFaultWindow(t)) c.lostOutsideFaults += gap;
  } else if (c.last && f.sequence <= *c.last) {
    ++b.duplicated[f.type];
    ++c.totalDuplicated;
  }
  c.last = f.sequence;
  ++b.frames[f.type];
  ++c.totalFrames;
  const int64_t arrival = monotonicMicros(f.received);
  if (f.type == 3) {
    if (videoOrigin_) b.latencyMs[3].push_back((arrival - *videoOrigin_ - static_cast<int64_t>(f.pts)) / 1000.0);
  } else if (auto it = audioTiming_.find(f.type); it != audioTiming_.end()) {
    const int64_t capture = it->second.second + (static_cast<int64_t>(f.sequence) - it->second.first) * 20000;
    b.latencyMs[f.type].push_back((arrival - capture) / 1000.0);
  }
}

void Soak::onLine(const qbtools::Line& l) {
  auto json = [&](std::string_view prefix) {
    return nlohmann::json::parse(l.text.substr(prefix.size()), nullptr, false);
  };
  std::lock_guard lock(mutex_);
  if (l.text.starts_with("EVENT:AUDIO_TIMING:")) {
    auto j = json("EVENT:AUDIO_TIMING:");
    if (j.is_object() && j.contains("channel") && j.contains("sequence") && j.contains("captureTimeUs"))
      audioTiming_[j["channel"] == "mic" ? 1 : 2] = {j["sequence"].get<uint32_t>(), j["captureTimeUs"].get<int64_t>()};
  } else if (l.text.starts_with("EVENT:VIDEO_TIMING:")) {
    auto j = json("EVENT:VIDEO_TIMING:");
    if (j.is_object() && j.contains("timestampUs") && j.contains("captureTimeUs"))
      videoOrigin_ = j["captureTimeUs"].get<int64_t>() - j["timestampUs"].get<int64_t>();
  } else if (l.text.starts_with("EVENT:AUDIO_LOSS:")) {
    auto j = json("EVENT:AUDIO_LOSS:");
    if (j.is_object() && j.contains("frames")) reportedLoss_ += j["frames"].get<uint64_t>();
  } else if (l.text.starts_with("EVENT:VIDEO_STOPPED")) {
    videoStopped_ = true;
  }
}

bool Soak::inFaultWindow(double t) const {
  for (auto [begin, end] : faultWindows_)
    if (t >= begin && t <= end + kRecoverySeconds) return true;
  // A fault under way has no end yet.
  return !faultWindows_.empty() && faultWindows_.back().second < faultWindows_.back().first &&
         t >= faultWindows_.back().first;
}

void Soak::startVideo() {
  // The first display of the listing, whose id changes when the X server comes back.
  uint64_t from = helper_->lineCount();
  helper_->send("LIST_WINDOWS");
  auto listing = helper_->waitForResponsePrefix("LIST_WINDOWS:", 10, from);
  uint64_t id = 0;
  if (listing) {
    auto j = nlohmann::json::parse(listing->body.substr(13), nullptr, false);
    if (j.is_array() && !j.empty() && j[0].value("type", "") == "display") id = j[0].value("id", uint64_t{0});
  }
  if (id == 0) return;
  from = helper_->lineCount();
  helper_->send("START_VIDEO:{\"type\":\"display\",\"id\":" + std::to_string(id) +
                ",\"width\":1920,\"height\":1080,\"fps\":10}");
  auto answer = helper_->waitForResponsePrefix("START_VIDEO:", 20, from);
  std::lock_guard lock(mutex_);
  videoStopped_ = !answer || answer->body != "START_VIDEO:started";
  if (!videoStopped_) {
    videoOrigin_.reset();
    channels_[3].last.reset();
  }
}

void Soak::writeBucket(int index, pid_t pid) {
  const long rss = qbtools::statusKiB(pid, "VmRSS");
  const int fds = countEntries("/proc/" + std::to_string(pid) + "/fd");
  const int threads = countEntries("/proc/" + std::to_string(pid) + "/task");
  std::lock_guard lock(mutex_);
  if (firstRss_ < 0) firstRss_ = rss, firstFds_ = fds, firstThreads_ = threads;
  peakRss_ = std::max(peakRss_, rss);
  lastRss_ = rss, lastFds_ = fds, lastThreads_ = threads;
  Bucket b = std::move(buckets_[index]);
  buckets_.erase(index);
  const double mic = median(b.latencyMs[1]), sys = median(b.latencyMs[2]), video = median(b.latencyMs[3]);
  csv_ << (index + 1) * kBucketSeconds;
  for (int i = 1; i <= 3; ++i) csv_ << ',' << b.frames[i] << ',' << b.lost[i] << ',' << b.duplicated[i];
  csv_ << ',' << mic << ',' << sys << ',' << video << ',' << (mic - video) << ',' << rss << ',' << fds << ',' << threads
       << '\n';
  csv_.flush();
}

int Soak::run() {
  csv_.open(o_.out + "/soak.csv");
  faults_.open(o_.out + "/faults.csv");
  csv_ << "t,mic_frames,mic_lost,mic_dup,system_frames,system_lost,system_dup,video_frames,video_lost,video_dup,"
          "mic_latency_ms,system_latency_ms,video_latency_ms,av_drift_ms,rss_kib,fds,threads\n";

  std::unique_ptr<qbtools::TonePlayer> speakers, mic;
  MovingWindow window(o_.binary.substr(0, o_.binary.rfind('/') + 1) + "qb-test-window", o_.display);
  window.keepRunning();

  qbtools::HelperOptions options;
  options.binary = o_.binary;
  options.env = {{"DISPLAY", o_.display}};
  options.keepFramePayloads = false;
  options.onFrame = [this](const qbtools::Frame& f) { onFrame(f); };
  options.onLine = [this](const qbtools::Line& l) { onLine(l); };
  helper_ = std::make_unique<qbtools::HelperProcess>(options);
  start_ = helper_->started();
  helper_->send("START_STREAMING");
  if (!helper_->waitForResponse("STREAMING:started", 20)) std::fprintf(stderr, "soak: no STREAMING:started\n");
  startVideo();

  const double end = o_.minutes * 60;
  int nextBucket = 0;
  double nextFault = o_.faultEvery;
  size_t faultIndex = 0;
  double stallEnds = -1;  // seconds since the start while the host holds its reading
  std::thread faultThread;
  std::atomic<bool> faultRunning{false};
  auto endFault = [&](double begin, const std::string& name, bool ok) {
    const double done = since(Clock::now());
    std::lock_guard lock(mutex_);
    faultWindows_.back().second = done;
    faults_ << begin << ',' << done << ',' << name << (ok ? "" : " (failed)") << '\n';
    faults_.flush();
  };
  while (since(Clock::now()) < end && helper_->running()) {
    std::this_thread::sleep_for(200ms);
    const double t = since(Clock::now());
    // What a sound-server or X server restart took with it comes back.
    if (!speakers || !speakers->running()) speakers = std::make_unique<qbtools::TonePlayer>("speakers", 1000, 0.5);
    if (!mic || !mic->running()) mic = std::make_unique<qbtools::TonePlayer>("mic1", 600, 0.25);
    window.keepRunning();
    if (stallEnds >= 0 && t >= stallEnds) {
      helper_->holdReading(false, false);
      stallEnds = -1;
      endFault(faultWindows_.back().first, "stall-host", true);
    }
    bool restartVideo = false;
    {
      std::lock_guard lock(mutex_);
      restartVideo = videoStopped_ && stallEnds < 0 && !faultRunning;
    }
    if (restartVideo) startVideo();
    // A stretch is written once what arrived in it has surely been counted.
    while (t >= (nextBucket + 1) * kBucketSeconds + 1) writeBucket(nextBucket++, helper_->pid());
    if (t >= nextFault && stallEnds < 0 && !faultRunning) {
      if (faultThread.joinable()) faultThread.join();
      const std::string fault = kFaults[faultIndex++ % std::size(kFaults)];
      std::fprintf(stderr, "soak: %.0f s: %s\n", t, fault.c_str());
      {
        std::lock_guard lock(mutex_);
        faultWindows_.push_back({t, -1});
      }
      if (fault == "stall-host") {
        helper_->holdReading(true, true);
        stallEnds = t + kStallSeconds;
      } else {
        faultRunning = true;
        faultThread = std::thread([&, fault, t] {
          const int status = runCommand({o_.faultCommand, fault}, 120);
          endFault(t, fault, status == 0);
          faultRunning = false;
        });
      }
      nextFault += o_.faultEvery;
    }
  }
  if (faultThread.joinable()) faultThread.join();
  if (stallEnds >= 0) helper_->holdReading(false, false);
  // What was held back arrives now; the last whole stretches are written with it.
  std::this_thread::sleep_for(2s);
  while ((nextBucket + 1) * kBucketSeconds <= since(Clock::now()) - 1) writeBucket(nextBucket++, helper_->pid());

  const bool alive = helper_->running();
  const uint64_t from = helper_->lineCount();
  helper_->send("STOP");
  const bool stopped = helper_->waitForResponse("STOPPED:ok", 20, from).has_value();
  auto status = helper_->waitForExit(20);

  std::ofstream log(o_.out + "/helper.log");
  for (const auto& l : helper_->lines()) log << since(l.received) << ' ' << l.text << '\n';
  log.close();

  std::ofstream summary(o_.out + "/summary.txt");
  std::lock_guard lock(mutex_);
  const char* names[] = {"", "mic", "system", "video"};
  char line[512];
  std::snprintf(line, sizeof line, "run: %.1f min, %zu faults, helper %s, STOP %s, exit %s\n", since(Clock::now()) / 60,
                faultWindows_.size(), alive ? "alive to the end" : "DIED", stopped ? "answered" : "NOT answered",
                status ? status->describe().c_str() : "none");
  summary << line;
  const double seconds = since(Clock::now());
  for (int i = 1; i <= 3; ++i) {
    const Channel& c = channels_[i];
    std::snprintf(line, sizeof line,
                  "%-6s frames %" PRIu64 " (%.1f%% of %.0f a second), lost %" PRIu64 " (%" PRIu64
                  " outside faults), duplicated %" PRIu64 "\n",
                  names[i], c.totalFrames, 100.0 * c.totalFrames / (seconds * (i == 3 ? 10 : 50)), i == 3 ? 10.0 : 50.0,
                  c.totalLost, c.lostOutsideFaults, c.totalDuplicated);
    summary << line;
  }
  std::snprintf(line, sizeof line, "audio loss the helper reported: %" PRIu64 " frames\n", reportedLoss_);
  summary << line;
  std::snprintf(line, sizeof line, "RSS %ld -> %ld KiB (peak %ld), fds %d -> %d, threads %d -> %d\n", firstRss_,
                lastRss_, peakRss_, firstFds_, lastFds_, firstThreads_, lastThreads_);
  summary << line;
  summary << "protocol: " << (helper_->protocolError().empty() ? "sound" : helper_->protocolError()) << '\n';
  summary.close();
  std::ifstream again(o_.out + "/summary.txt");
  std::printf("%s", std::string(std::istreambuf_iterator<char>(again), {}).c_str());
  return alive && stopped ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i], value = argv[i + 1];
    if (key == "--binary")
      o.binary = value;
    else if (key == "--display")
      o.display = value;
    else if (key == "--minutes")
      o.minutes = std::atof(value.c_str());
    else if (key == "--fault-every")
      o.faultEvery = std::atof(value.c_str());
    else if (key == "--out")
      o.out = value;
    else if (key == "--fault-command")
      o.faultCommand = value;
  }
  if (o.binary.empty() || o.display.empty() || o.out.empty() || o.faultCommand.empty() || !(o.minutes > 0)) {
    std::fprintf(stderr,
                 "usage: soak_host --binary PATH --display :N --minutes M --fault-every SECONDS --out DIR "
                 "--fault-command PATH\n");
    return 2;
  }
  std::signal(SIGPIPE, SIG_IGN);
  return Soak(o).run();
}
