// Reference host: runs the helper, sends commands, and prints what comes back.
//
//   quellbrook-host [--binary PATH] [--wait SECONDS] [--each-frame] [--record DIR] CMD...
//
// Each CMD is sent as one line; the host waits for its answer before the next. A CMD of
// the form "+SECONDS" only waits. After the last command the host waits --wait seconds
// (default 2) while frames flow, sends STOP unless the commands did, and prints the
// helper's exit status. Every stderr line is printed with its kind and the time since
// start; frames are counted per second (or printed one per line with --each-frame).
// --record DIR writes mic.wav, system.wav and video.h264 from the frames.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "CommandAnswers.hpp"
#include "HelperProcess.hpp"
#include "ToolOptions.hpp"
#include "WavWriter.hpp"

using namespace qbtools;

namespace {

struct Options {
  std::string binary;
  double wait = 2.0;
  bool eachFrame = false;
  std::string recordDir;
  std::vector<std::string> commands;
};

void usage() {
  std::fprintf(stderr,
               "usage: quellbrook-host [--binary PATH] [--wait SECONDS] [--each-frame] [--record DIR] CMD...\n"
               "  CMD      a command line for the helper, e.g. START_STREAMING or 'START_VIDEO:{\"fps\":5}';\n"
               "           +SECONDS waits without sending\n"
               "  --binary the helper (default: the installed one, or quellbrook next to this program)\n"
               "  --wait   seconds to keep running after the last command (default 2)\n");
}

std::optional<Options> parseOptions(int argc, char** argv) {
  Options o;
  o.binary = qbtools::defaultHelperBinary();
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= argc) return std::nullopt;
      return std::string(argv[++i]);
    };
    if (a == "--binary") {
      auto v = value();
      if (!v) return std::nullopt;
      o.binary = *v;
    } else if (a == "--wait") {
      auto v = value();
      if (!v) return std::nullopt;
      auto seconds = qbtools::parseSeconds(*v);
      if (!seconds) return std::nullopt;
      o.wait = *seconds;
    } else if (a == "--record") {
      auto v = value();
      if (!v) return std::nullopt;
      o.recordDir = *v;
    } else if (a == "--each-frame") {
      o.eachFrame = true;
    } else if (a == "--help" || a == "-h") {
      return std::nullopt;
    } else {
      if (a.size() > 1 && a[0] == '+' && !qbtools::parseSeconds(a.substr(1))) return std::nullopt;
      o.commands.push_back(a);
    }
  }
  return o;
}

struct Stats {
  uint64_t frames = 0, bytes = 0, keyframes = 0, gaps = 0;
  std::optional<uint32_t> lastSequence;
  uint16_t maxLevel = 0;
};

class Printer {
 public:
  Printer(Timestamp origin, const Options& options) : origin_(origin), options_(options) {
    if (!options.recordDir.empty()) {
      std::filesystem::create_directories(options.recordDir);
      mic_ = std::make_unique<qbtools::WavWriter>();
      system_ = std::make_unique<qbtools::WavWriter>();
      mic_->open(options.recordDir + "/mic.wav");
      system_->open(options.recordDir + "/system.wav");
      video_.open(options.recordDir + "/video.h264", std::ios::binary);
    }
  }

  double since(Timestamp t) const { return std::chrono::duration<double>(t - origin_).count(); }

  void line(const Line& l) {
    std::string text = l.kind == LineKind::log ? l.text : l.body;
    if (text.size() > 400) text = text.substr(0, 400) + "... (" + std::to_string(text.size()) + " bytes)";
    std::lock_guard lock(mutex_);
    std::printf("[%9.3f] %-19s %s\n", since(l.received), lineKindName(l.kind), text.c_str());
    std::fflush(stdout);
  }

  void frame(const Frame& f) {
    std::lock_guard lock(mutex_);
    Stats& s = stats_[f.type];
    ++s.frames;
    s.bytes += f.payloadLength;
    if (f.isKeyframe() && f.isVideo()) ++s.keyframes;
    if (s.lastSequence && f.sequence != static_cast<uint32_t>(*s.lastSequence + 1)) ++s.gaps;
    s.lastSequence = f.sequence;
    if (f.isAudio()) s.maxLevel = std::max(s.maxLevel, f.level);
    if (mic_ && f.type == 1) mic_->append(f.payload);
    if (system_ && f.type == 2) system_->append(f.payload);
    if (video_.is_open() && f.type == 3)
      video_.write(reinterpret_cast<const char*>(f.payload.data()), static_cast<std::streamsize>(f.payload.size()));
    if (options_.eachFrame) {
      if (f.isAudio())
        std::printf("[%9.3f] FRAME %-6s seq=%u bytes=%u rate=%u ch=%u bits=%u level=%.4f\n", since(f.received),
                    f.type == 1 ? "mic" : "system", f.sequence, f.payloadLength, f.sampleRate, f.channels,
                    f.bitsPerSample, f.levelValue());
      else
        std::printf("[%9.3f] FRAME video  seq=%u bytes=%u %ux%u fps=%u %s pts=%" PRIu64 "us\n", since(f.received),
                    f.sequence, f.payloadLength, f.width, f.height, f.fps, f.isKeyframe() ? "key" : "delta", f.pts);
      std::fflush(stdout);
    }
  }

  // One line of counts per second while frames flow.
  void tick(double t) {
    std::lock_guard lock(mutex_);
    uint64_t total = 0;
    for (auto& [type, s] : stats_) total += s.frames;
    if (options_.eachFrame || total == printedTotal_) return;
    printedTotal_ = total;
    std::printf("[%9.3f] FRAMES              %s\n", t, countsText().c_str());
    std::fflush(stdout);
  }

  void summary() {
    std::lock_guard lock(mutex_);
    std::printf("frames: %s\n", stats_.empty() ? "none" : countsText().c_str());
    for (auto& [type, s] : stats_)
      std::printf("  %-6s %" PRIu64 " frames, %" PRIu64 " bytes, sequence gaps %" PRIu64 "%s\n", name(type), s.frames,
                  s.bytes, s.gaps,
                  type == 3 ? (", keyframes " + std::to_string(s.keyframes)).c_str()
                            : (", peak level " + std::to_string(s.maxLevel / 65535.0)).c_str());
  }

  void closeRecordings() {
    std::lock_guard lock(mutex_);
    mic_.reset();
    system_.reset();
    if (video_.is_open()) video_.close();
  }

 private:
  static const char* name(uint8_t type) { return type == 1 ? "mic" : type == 2 ? "system" : "video"; }
  std::string countsText() const {
    std::string s;
    for (auto& [type, st] : stats_) {
      if (!s.empty()) s += " ";
      s += std::string(name(type)) + "=" + std::to_string(st.frames);
    }
    return s;
  }

  Timestamp origin_;
  const Options& options_;
  std::mutex mutex_;
  std::map<uint8_t, Stats> stats_;
  uint64_t printedTotal_ = 0;
  std::unique_ptr<qbtools::WavWriter> mic_, system_;
  std::ofstream video_;
};

volatile sig_atomic_t gHelperPid = 0;

// The helper outlives the end of its input by design, so a host that dies must not
// leave it behind.
void onTerminate(int sig) {
  if (gHelperPid > 0) kill(gHelperPid, SIGTERM);
  _exit(128 + sig);
}

}  // namespace

int main(int argc, char** argv) {
  // A closed stdout (piping into head) must not kill us before the helper is stopped.
  signal(SIGPIPE, SIG_IGN);
  for (int sig : {SIGTERM, SIGHUP, SIGINT}) signal(sig, onTerminate);
  auto options = parseOptions(argc, argv);
  if (!options) {
    usage();
    return 2;
  }
  auto origin = std::chrono::steady_clock::now();
  Printer printer(origin, *options);

  HelperOptions helperOptions;
  helperOptions.binary = options->binary;
  helperOptions.keepFramePayloads = false;
  helperOptions.onLine = [&](const Line& l) { printer.line(l); };
  helperOptions.onFrame = [&](const Frame& f) { printer.frame(f); };
  std::unique_ptr<HelperProcess> helper;
  try {
    helper = std::make_unique<HelperProcess>(helperOptions);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quellbrook-host: %s\n", e.what());
    return 1;
  }

  gHelperPid = helper->pid();
  std::atomic<bool> done{false};
  std::thread ticker([&] {
    while (!done) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      printer.tick(printer.since(std::chrono::steady_clock::now()));
    }
  });

  auto waitSeconds = [&](double seconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (helper->running() && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  };

  bool sentStop = false;
  for (const auto& cmd : options->commands) {
    if (!helper->running()) break;
    if (cmd.size() > 1 && cmd[0] == '+') {
      waitSeconds(qbtools::parseSeconds(cmd.substr(1)).value_or(0));
      continue;
    }
    uint64_t from = helper->lineCount();
    std::printf("[%9.3f] >>> %s\n", printer.since(std::chrono::steady_clock::now()), cmd.c_str());
    std::fflush(stdout);
    if (!helper->send(cmd)) break;
    if (commandWord(cmd) == "STOP") sentStop = true;
    if (auto answer = expectedAnswer(cmd))
      helper->waitForLine([&](const Line& l) { return answer->answeredBy(l); }, 30, from);
    else
      helper->waitForLine([&](const Line& l) { return l.text == "Received command: " + cmd; }, 5, from);
  }
  if (!sentStop && helper->running()) {
    waitSeconds(options->wait);
    std::printf("[%9.3f] >>> STOP\n", printer.since(std::chrono::steady_clock::now()));
    helper->send("STOP");
  }
  auto status = helper->waitForExit(10);
  if (!status) {
    std::printf("helper did not exit within 10 s after STOP; killing it\n");
    helper->kill(SIGKILL);
    status = helper->waitForExit(5);
  }
  gHelperPid = 0;
  std::string protocolError = helper->protocolError();
  helper.reset();  // joins the readers: every frame has been counted
  done = true;
  ticker.join();
  printer.closeRecordings();
  printer.summary();
  if (!protocolError.empty()) std::printf("stdout protocol error: %s\n", protocolError.c_str());
  std::printf("helper exit: %s\n", status ? status->describe().c_str() : "unknown");
  bool ok = status && status->exited && status->code == 0 && protocolError.empty();
  return ok ? 0 : 1;
}
