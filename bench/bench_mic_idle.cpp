// CPU of the built helper while it only watches the microphones: START_MIC_MONITORING on
// the private sound server (scripts/test-env) with ten microphones present and none in
// use, beside the same helper idle without monitoring, in one run. Read from
// /proc/<pid>/stat. Target: monitoring idles under 0.2 % of one core.
//
//   bench_mic_idle [--seconds N] [--binary PATH]
//
// Needs PULSE_SERVER (eval "$(scripts/test-env start)"); adds eight microphones to the two
// of the test environment for the run and removes them again.
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "HelperProcess.hpp"
#include "ProcessStats.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kExtraMicrophones = 8;

std::string run(const std::string& command) {
  std::string out;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return out;
  char buf[256];
  while (fgets(buf, sizeof buf, pipe.get())) out += buf;
  return out;
}

// Microphones loaded for the run, unloaded with the object.
class ExtraMicrophones {
 public:
  explicit ExtraMicrophones(int count) {
    for (int i = 0; i < count; ++i) {
      const std::string name = "qb_bench_mic" + std::to_string(i);
      auto index = run("pactl load-module module-null-source source_name=" + name);
      if (!index.empty() && std::isdigit(static_cast<unsigned char>(index[0]))) modules_.push_back(std::stoi(index));
    }
  }
  ~ExtraMicrophones() {
    for (int m : modules_) run("pactl unload-module " + std::to_string(m));
  }
  size_t count() const { return modules_.size(); }

 private:
  std::vector<int> modules_;
};

struct Figure {
  double cpuSeconds = 0;     // from the process's tick counts
  double threadSeconds = 0;  // from its live threads' nanosecond counts
  double wallSeconds = 0;
  size_t micEvents = 0;
  double percent() const { return wallSeconds > 0 ? 100 * std::max(cpuSeconds, threadSeconds) / wallSeconds : 0; }
};

// The helper's CPU over `seconds`, after `command` (if any) was answered and a settling
// second passed.
std::optional<Figure> measure(const std::string& binary, const std::string& command, const std::string& answer,
                              double seconds) {
  qbtools::HelperOptions options;
  options.binary = binary;
  qbtools::HelperProcess helper(options);
  if (!command.empty()) {
    helper.send(command);
    if (!helper.waitForResponse(answer, 10)) {
      std::printf("  %s was not answered with %s\n", command.c_str(), answer.c_str());
      return std::nullopt;
    }
  } else {
    helper.send("HEALTH_CHECK");
    helper.waitForResponsePrefix("HEALTH_OK:", 10);
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const size_t lines0 = helper.lineCount();
  const double cpu0 = qbtools::cpuSeconds(helper.pid());
  const double thread0 = qbtools::liveThreadCpuSeconds(helper.pid());
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  Figure f;
  f.cpuSeconds = qbtools::cpuSeconds(helper.pid()) - cpu0;
  f.threadSeconds = qbtools::liveThreadCpuSeconds(helper.pid()) - thread0;
  f.wallSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
  auto lines = helper.lines();
  for (size_t i = lines0; i < lines.size(); ++i) f.micEvents += lines[i].text.rfind("MIC_EVENT:", 0) == 0;
  helper.send("STOP");
  helper.waitForExit(10);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 30;
  std::string binary = (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "quellbrook").string();
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--seconds") seconds = std::atof(argv[i + 1]);
    if (a == "--binary") binary = argv[i + 1];
  }
  ::signal(SIGPIPE, SIG_IGN);
  if (!std::getenv("PULSE_SERVER")) {
    std::printf("skipped: PULSE_SERVER unset (eval \"$(scripts/test-env start)\")\n");
    return 0;
  }
  ExtraMicrophones extra(kExtraMicrophones);
  const size_t microphones = 2 + extra.count();
  std::printf("== CPU of %s with %zu microphones, none in use (%.0f s each)\n", binary.c_str(), microphones, seconds);

  auto idle = measure(binary, "", "", seconds);
  auto monitoring = measure(binary, "START_MIC_MONITORING", "MIC_MONITORING:started", seconds);
  if (!idle || !monitoring) return 1;
  for (auto [label, f] : {std::pair{"idle, no monitoring:", *idle}, std::pair{"monitoring:", *monitoring}})
    std::printf("  %-20s %.4f CPU s (live threads %.4f s) in %.1f s = %.3f%% of one core, %zu MIC_EVENT lines\n", label,
                f.cpuSeconds, f.threadSeconds, f.wallSeconds, f.percent(), f.micEvents);
  std::printf("  monitoring costs %.3f%% of one core over idle; target: under 0.2%% in all: %s\n",
              monitoring->percent() - idle->percent(), monitoring->percent() < 0.2 ? "met" : "NOT met");
  return 0;
}
