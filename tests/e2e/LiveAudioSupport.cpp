#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <numbers>

#include "e2e/support/LiveAudio.hpp"
#include "runtime/ProcessSpawn.hpp"

namespace qb::e2e {

namespace {

using Clock = std::chrono::steady_clock;

std::string envOr(const char* name, const std::string& fallback = {}) {
  const char* v = std::getenv(name);
  return v ? v : fallback;
}

// stdout and stderr of the child both go to `out`.
pid_t spawn(const std::vector<std::string>& argv, int in, int out) {
  return qb::spawnWithDefaultSignals(argv, in, out, out);
}

// Waits for pid until the deadline; kills it then. Returns the wait status, or nothing
// when it had to be killed.
std::optional<int> reap(pid_t pid, Clock::time_point deadline) {
  int status = 0;
  while (true) {
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0 && errno != EINTR) return std::nullopt;
    if (Clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return std::nullopt;
}

nlohmann::json pactlJson(const std::vector<std::string>& args) {
  std::vector<std::string> all{"-f", "json"};
  all.insert(all.end(), args.begin(), args.end());
  ProcessResult r = pactl(all);
  if (!r.ok()) return nlohmann::json();
  return nlohmann::json::parse(r.output, nullptr, false);
}

}  // namespace

std::optional<std::string> missingLiveEnvironment() {
  if (envOr("PULSE_SERVER").empty())
    return "PULSE_SERVER is unset: the live audio tests need the private sound server of scripts/test-env "
           "(eval \"$(scripts/test-env start)\")";
  if (envOr("DISPLAY").empty())
    return "DISPLAY is unset: system audio is captured through a display (scripts/test-env)";
  return std::nullopt;
}

ProcessResult runProcess(const std::vector<std::string>& argv, double timeoutSeconds) {
  ProcessResult result;
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return result;
  pid_t pid = spawn(argv, -1, pipeFds[1]);
  ::close(pipeFds[1]);
  if (pid < 0) {
    ::close(pipeFds[0]);
    result.output = "cannot start " + argv.at(0);
    return result;
  }
  auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeoutSeconds));
  char buf[4096];
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd p{pipeFds[0], POLLIN, 0};
    int n = ::poll(&p, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    ssize_t got = ::read(pipeFds[0], buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    result.output.append(buf, static_cast<size_t>(got));
  }
  ::close(pipeFds[0]);
  auto status = reap(pid, deadline);
  if (status && WIFEXITED(*status)) {
    result.finished = true;
    result.exitCode = WEXITSTATUS(*status);
  }
  return result;
}

ProcessResult pactl(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"pactl"};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProcess(argv, 10);
}

ProcessResult testEnv(const std::vector<std::string>& args, double timeoutSeconds) {
  std::string script = envOr("QB_TEST_ENV_SCRIPT");
  if (script.empty()) {
    ProcessResult r;
    r.output = "QB_TEST_ENV_SCRIPT is unset";
    return r;
  }
  std::vector<std::string> argv{script};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProcess(argv, timeoutSeconds);
}

// ---- Tones -----------------------------------------------------------------------------

ChildGuard::ChildGuard(const std::vector<std::string>& argv, bool pipeStdin) {
  int pipeFds[2] = {-1, -1};
  if (pipeStdin && pipe2(pipeFds, O_CLOEXEC) != 0) return;
  pid_ = spawn(argv, pipeFds[0], -1);
  if (pipeStdin) {
    ::close(pipeFds[0]);
    if (pid_ > 0)
      stdinFd_ = pipeFds[1];
    else
      ::close(pipeFds[1]);
  }
}

ChildGuard::~ChildGuard() {
  kill();
  if (stdinFd_ >= 0) ::close(stdinFd_);
  if (pid_ > 0)
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
}

void ChildGuard::kill() {
  // Not reaped before the destructor, so the pid cannot have been reused.
  if (pid_ > 0) ::kill(pid_, SIGKILL);
}

bool ChildGuard::running() const {
  if (pid_ <= 0) return false;
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

// ---- Sound-server state ----------------------------------------------------------------

std::vector<SourceOutput> sourceOutputs() {
  std::vector<SourceOutput> out;
  auto list = pactlJson({"list", "source-outputs"});
  if (!list.is_array()) return out;
  for (const auto& o : list) {
    SourceOutput s;
    s.index = o.value("index", 0u);
    s.source = o.value("source", 0u);
    const auto& props = o.value("properties", nlohmann::json::object());
    s.pid = std::atol(props.value("application.process.id", std::string("0")).c_str());
    s.mediaName = props.value("media.name", std::string());
    out.push_back(s);
  }
  return out;
}

std::string defaultSink() { return pactlJson({"info"}).value("default_sink_name", std::string()); }
std::string defaultSource() { return pactlJson({"info"}).value("default_source_name", std::string()); }

namespace {

std::optional<uint32_t> ownerModule(const char* kind, const std::string& name) {
  auto list = pactlJson({"list", kind});
  if (!list.is_array()) return std::nullopt;
  for (const auto& s : list) {
    if (s.value("name", std::string()) != name) continue;
    const auto& owner = s["owner_module"];
    if (owner.is_string()) return static_cast<uint32_t>(std::stoul(owner.get<std::string>()));
    if (owner.is_number()) return owner.get<uint32_t>();
  }
  return std::nullopt;
}

}  // namespace

std::optional<uint32_t> sinkModule(const std::string& sinkName) { return ownerModule("sinks", sinkName); }
std::optional<uint32_t> sourceModule(const std::string& sourceName) { return ownerModule("sources", sourceName); }

std::string restoreSoundServer() {
  // A test that failed half-way through a restart may have left the server down.
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!pactl({"info"}).ok()) {
    if (Clock::now() >= deadline) {
      ProcessResult started = testEnv({"start-pulse"});
      if (!started.ok()) return "the sound server is down and could not be started: " + started.output;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::string problems;
  if (!sinkModule("speakers")) {
    ProcessResult r = pactl({"load-module", "module-null-sink", "sink_name=speakers", "rate=48000", "channels=2",
                             "sink_properties='device.description=\"Test Speakers\"'"});
    if (!r.ok()) problems += "cannot load the speakers sink: " + r.output;
  }
  if (!sourceModule("mic2")) {
    ProcessResult r = pactl({"load-module", "module-remap-source", "source_name=mic2", "master=mic2_feed.monitor",
                             "channels=2", "source_properties='device.description=\"Test Microphone 2\"'"});
    if (!r.ok()) problems += "cannot load the mic2 source: " + r.output;
  }
  for (auto [what, name] : {std::pair{"set-default-sink", "speakers"}, std::pair{"set-default-source", "mic1"}}) {
    ProcessResult r = pactl({what, name});
    if (!r.ok()) problems += std::string(what) + " " + name + " failed: " + r.output;
  }
  return problems;
}

// ---- Frames ----------------------------------------------------------------------------

std::vector<Frame> framesOf(const std::vector<Frame>& all, uint8_t type, Timestamp since) {
  std::vector<Frame> out;
  for (const auto& f : all)
    if (f.isAudio() && f.type == type && f.received >= since) out.push_back(f);
  return out;
}

double payloadLevel(const Frame& frame) {
  const size_t n = frame.payload.size() / 2;
  if (n == 0) return 0;
  double sum = 0;
  for (size_t i = 0; i < n; ++i) {
    int16_t s;
    std::memcpy(&s, frame.payload.data() + 2 * i, 2);
    sum += double(s) * double(s);
  }
  return std::sqrt(sum / double(n)) / 32767.0;
}

std::vector<int16_t> leftChannel(const std::vector<Frame>& frames) {
  std::vector<int16_t> out;
  for (const auto& f : frames) {
    for (size_t i = 0; i + 3 < f.payload.size(); i += 4) {
      int16_t s;
      std::memcpy(&s, f.payload.data() + i, 2);
      out.push_back(s);
    }
  }
  return out;
}

double toneFrequency(const std::vector<Frame>& frames) {
  std::vector<int16_t> x = leftChannel(frames);
  int peak = 0;
  for (int16_t s : x) peak = std::max(peak, std::abs(int(s)));
  const int hysteresis = std::max(1, peak / 10);  // noise near zero must not count
  long first = -1, last = -1, crossings = 0;
  bool low = false;
  for (size_t i = 0; i < x.size(); ++i) {
    if (x[i] < -hysteresis) {
      low = true;
    } else if (low && x[i] > hysteresis) {
      low = false;
      if (first < 0) first = long(i);
      last = long(i);
      ++crossings;
    }
  }
  if (crossings < 2 || last <= first) return 0;
  return double(crossings - 1) * 48000.0 / double(last - first);
}

double toneAmplitude(const Frame& frame, double frequency) {
  double re = 0, im = 0;
  size_t n = 0;
  for (size_t i = 0; i + 3 < frame.payload.size(); i += 4, ++n) {
    int16_t s;
    std::memcpy(&s, frame.payload.data() + i, 2);
    const double w = 2 * std::numbers::pi * frequency * double(n) / 48000.0;
    re += s * std::cos(w);
    im -= s * std::sin(w);
  }
  if (n == 0) return 0;
  return 2 * std::hypot(re, im) / double(n) / 32767.0;
}

size_t firstSequenceBreak(const std::vector<Frame>& frames) {
  for (size_t i = 1; i < frames.size(); ++i)
    if (frames[i].sequence != frames[i - 1].sequence + 1) return i;
  return frames.size();
}

double secondsBetween(Timestamp a, Timestamp b) { return std::chrono::duration<double>(b - a).count(); }

}  // namespace qb::e2e
