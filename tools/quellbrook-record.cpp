// Records what a helper streams: runs it, sends the commands, and keeps N seconds of its
// audio frames as WAV files and its video frames as an H.264 file, beside a log of every
// text line it wrote.
//
//   quellbrook-record [--binary PATH] [--seconds N] [--out DIR] [--mux FILE.mkv] [--mic ID] CMD...
//
// CMD is a command line such as START_STREAMING or TEST_WAV:/path/to/file.wav; each is
// sent in turn and its answer awaited. The recording then runs for --seconds (default
// 5; Ctrl-C ends it early), sends STOP and checks that the helper exits with status 0.
// DIR (default ./recording) receives mic.wav and system.wav (48 kHz stereo 16-bit, the
// frame payloads in order), video.h264 when video frames came (START_VIDEO:{...}; the
// Annex B payloads in order, playable as a raw H.264 stream), and events.log (each stderr
// line with its arrival time). With --mux, FILE.mkv (Matroska) receives all of them as
// tracks of one file, each frame at its capture time by the helper's timing lines, so that
// they play in step. --mic ID records that microphone (an id of LIST_DEVICES) instead of the
// default: START_STREAMING is sent with it.
// Sequence gaps are reported. Exit status 0 when the helper behaved.

#include <signal.h>
#include <unistd.h>

#include <strings.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "CommandAnswers.hpp"
#include "HelperProcess.hpp"
#include "MediaMuxer.hpp"
#include "ToolOptions.hpp"
#include "WavWriter.hpp"

using namespace qbtools;

namespace {

std::atomic<bool> interrupted{false};

struct Options {
  std::string binary;
  double seconds = 5;
  std::string outDir = "recording";
  std::string muxPath;
  std::string mic;
  std::vector<std::string> commands;
  bool help = false;
};

void usage(FILE* to) {
  std::fprintf(to,
               "usage: quellbrook-record [--binary PATH] [--seconds N] [--out DIR] [--mux FILE.mkv] [--mic ID] "
               "CMD...\n"
               "  CMD        a command for the helper: START_STREAMING, TEST_WAV:/path/file.wav, ...\n"
               "  --binary   the helper (default: the installed one, or quellbrook next to this program)\n"
               "  --seconds  how long to record after the last command (default 5)\n"
               "  --out      directory for mic.wav, system.wav, video.h264 and events.log (default ./recording)\n"
               "  --mux      also write the video and both audio channels as tracks of one Matroska\n"
               "             file (.mkv), lined up at their times\n"
               "  --mic      the microphone START_STREAMING records, an id from LIST_DEVICES (default: the\n"
               "             default microphone)\n");
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
    if (a == "--help" || a == "-h") {
      o.help = true;
      return o;
    }
    if (a == "--binary" || a == "--out" || a == "--seconds" || a == "--mux" || a == "--mic") {
      auto v = value();
      if (!v) return std::nullopt;
      if (a == "--mic") o.mic = *v;
      if (a == "--binary") o.binary = *v;
      if (a == "--out") o.outDir = *v;
      if (a == "--mux") o.muxPath = *v;
      if (a == "--seconds") {
        auto seconds = qbtools::parseSeconds(*v);
        if (!seconds) return std::nullopt;
        o.seconds = *seconds;
      }
    } else if (a.rfind("--", 0) == 0) {
      return std::nullopt;
    } else {
      o.commands.push_back(a);
    }
  }
  if (o.commands.empty()) return std::nullopt;
  if (!o.mic.empty()) {
    // START_STREAMING as the host wrote it, without an argument, is the one that gets the id.
    auto start = std::find_if(o.commands.begin(), o.commands.end(), [](const std::string& c) {
      return c.size() == 15 && strncasecmp(c.c_str(), "START_STREAMING", 15) == 0;
    });
    if (start == o.commands.end()) {
      std::fprintf(stderr, "quellbrook-record: --mic needs a START_STREAMING command\n");
      return std::nullopt;
    }
    *start +=
        ":" + nlohmann::json{{"micDeviceId", o.mic}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  }
  return o;
}

// What arrived on one audio channel.
struct Channel {
  explicit Channel(const char* n) : name(n) {}
  const char* name;
  qbtools::WavWriter wav;
  uint64_t frames = 0;
  std::optional<Timestamp> firstFrame;  // live devices take a moment to deliver
  std::optional<uint32_t> nextSequence;
  uint64_t gaps = 0;
  uint64_t missingFrames = 0;
  uint16_t lastLevel = 0;
  double levelSum = 0;
  bool formatMismatch = false;
  uint32_t sampleRate = 48000;
  uint8_t audioChannels = 2;
  std::vector<ArrivedFrame> arrived;  // with --mux only
  std::vector<AudioTiming> timing;
};

std::string dbfs(double level) {
  if (level <= 0) return "  -inf dBFS";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%6.1f dBFS", 20 * std::log10(level));
  return buf;
}

double secondsSince(Timestamp start, Timestamp t) { return std::chrono::duration<double>(t - start).count(); }

// What arrived as video.
struct Video {
  std::ofstream file;
  uint64_t frames = 0;
  uint64_t keyframes = 0;
  uint64_t bytes = 0;
  uint64_t gaps = 0;
  std::optional<uint32_t> nextSequence;
  uint64_t lastPts = 0;
  uint16_t width = 0, height = 0;
  uint8_t fps = 0;
  std::vector<ArrivedFrame> arrived;  // with --mux only
  std::vector<VideoTiming> timing;
};

// Lines the recorded tracks up and writes them into one file; false on failure.
bool writeMux(const std::string& path, const std::string& outDir, const Channel (&channels)[2], const Video& video) {
  MuxVideoTrack v{outDir + "/video.h264", placeVideo(video.arrived, video.fps, video.timing), video.width, video.height,
                  video.fps};
  if (v.frames.size() < video.arrived.size())
    std::fprintf(stderr, "  video: %zu frames without a timing line or a keyframe before them are left out\n",
                 video.arrived.size() - v.frames.size());
  std::vector<MuxAudioTrack> audio;
  const char* titles[2] = {"microphone", "system audio"};
  for (int i = 0; i < 2; ++i) {
    const Channel& ch = channels[i];
    audio.push_back({titles[i], outDir + "/" + ch.name + ".wav", WavWriter::kHeaderBytes,
                     placeAudio(ch.arrived, ch.sampleRate * ch.audioChannels * 2, ch.timing), ch.sampleRate,
                     ch.audioChannels});
    if (!ch.arrived.empty() && ch.timing.empty())
      std::fprintf(stderr, "  %s: %zu frames without a timing line are left out\n", ch.name, ch.arrived.size());
  }
  startTogetherAtZero({&v.frames, &audio[0].frames, &audio[1].frames});
  std::fprintf(stderr, "muxing into %s ...\n", path.c_str());
  if (auto error = writeMuxedFile(path, v, audio)) {
    std::fprintf(stderr, "  mux failed: %s\n", error->c_str());
    return false;
  }
  auto seconds = [](const std::vector<PlacedFrame>& f) {
    return f.empty() ? 0.0 : double(f.back().us + f.back().durationUs - f.front().us) / 1e6;
  };
  auto starts = [](const std::vector<PlacedFrame>& f) { return f.empty() ? 0.0 : double(f.front().us) / 1e6; };
  std::fprintf(stderr,
               "  muxed: video %zu frames (%.2f s from %.2f s), mic %zu frames (%.2f s from %.2f s), system %zu "
               "frames (%.2f s from %.2f s): %s\n",
               v.frames.size(), seconds(v.frames), starts(v.frames), audio[0].frames.size(), seconds(audio[0].frames),
               starts(audio[0].frames), audio[1].frames.size(), seconds(audio[1].frames), starts(audio[1].frames),
               path.c_str());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  auto options = parseOptions(argc, argv);
  if (!options) {
    usage(stderr);
    return 2;
  }
  if (options->help) {
    usage(stdout);
    return 0;
  }
  std::error_code ec;
  std::filesystem::create_directories(options->outDir, ec);
  if (ec) {
    std::fprintf(stderr, "quellbrook-record: cannot create %s: %s\n", options->outDir.c_str(), ec.message().c_str());
    return 2;
  }
  if (!options->muxPath.empty()) {
    if (auto problem = muxOutputProblem(options->muxPath)) {
      std::fprintf(stderr, "quellbrook-record: --mux %s: %s\n", options->muxPath.c_str(), problem->c_str());
      return 2;
    }
  }
  const bool mux = !options->muxPath.empty();

  std::mutex mutex;  // guards the channels and the events log
  Channel channels[2] = {Channel("mic"), Channel("system")};
  std::ofstream events(options->outDir + "/events.log", std::ios::trunc);
  if (!channels[0].wav.open(options->outDir + "/mic.wav") || !channels[1].wav.open(options->outDir + "/system.wav") ||
      !events) {
    std::fprintf(stderr, "quellbrook-record: cannot write into %s\n", options->outDir.c_str());
    return 2;
  }
  std::vector<std::string> gapReports;
  Video video;
  const std::string videoPath = options->outDir + "/video.h264";
  std::filesystem::remove(videoPath, ec);  // only this run's video is left there
  const auto start = std::chrono::steady_clock::now();

  HelperOptions helperOptions;
  helperOptions.binary = options->binary;
  helperOptions.keepFramePayloads = false;  // written to disk as they come
  helperOptions.onFrame = [&](const Frame& f) {
    if (f.isVideo()) {
      std::lock_guard guard(mutex);
      if (!video.file.is_open()) video.file.open(videoPath, std::ios::binary | std::ios::trunc);
      // A new START_VIDEO counts from 0 again; anything else missing is a gap.
      if (video.nextSequence && f.sequence != *video.nextSequence && f.sequence != 0) {
        ++video.gaps;
        char buf[160];
        std::snprintf(buf, sizeof buf, "[%8.3f] video sequence gap: expected %u, got %u",
                      secondsSince(start, f.received), *video.nextSequence, f.sequence);
        gapReports.emplace_back(buf);
      }
      video.nextSequence = f.sequence + 1;
      if (mux) video.arrived.push_back({f.sequence, video.bytes, uint32_t(f.payload.size()), f.pts, f.isKeyframe()});
      video.file.write(reinterpret_cast<const char*>(f.payload.data()), static_cast<std::streamsize>(f.payload.size()));
      ++video.frames;
      if (f.isKeyframe()) ++video.keyframes;
      video.bytes += f.payload.size();
      video.lastPts = f.pts;
      video.width = f.width;
      video.height = f.height;
      video.fps = f.fps;
      return;
    }
    if (!f.isAudio() || (f.type != 1 && f.type != 2)) return;
    std::lock_guard guard(mutex);
    Channel& ch = channels[f.type - 1];
    if (ch.nextSequence && f.sequence != *ch.nextSequence) {
      uint32_t missing = f.sequence - *ch.nextSequence;  // wraps like the sequence itself
      ++ch.gaps;
      ch.missingFrames += missing;
      char buf[160];
      std::snprintf(buf, sizeof buf, "[%8.3f] %s sequence gap: expected %u, got %u (%u frames missing)",
                    secondsSince(start, f.received), ch.name, *ch.nextSequence, f.sequence, missing);
      gapReports.emplace_back(buf);
    }
    ch.nextSequence = f.sequence + 1;
    if (!ch.firstFrame) {
      ch.firstFrame = f.received;
      ch.sampleRate = f.sampleRate;
      ch.audioChannels = f.channels;
    }
    if (f.sampleRate != 48000 || f.channels != 2 || f.bitsPerSample != 16) ch.formatMismatch = true;
    if (mux) ch.arrived.push_back({f.sequence, ch.wav.dataBytes(), uint32_t(f.payload.size())});
    ch.wav.append(f.payload);
    ++ch.frames;
    ch.lastLevel = f.level;
    ch.levelSum += f.levelValue();
  };
  helperOptions.onLine = [&](const Line& l) {
    std::lock_guard guard(mutex);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%8.3f] ", secondsSince(start, l.received));
    events << stamp << l.text << '\n';
    if (l.kind != LineKind::event) return;
    if (auto audio = parseAudioTiming(l.body)) channels[audio->first - 1].timing.push_back(audio->second);
    if (auto timing = parseVideoTiming(l.body)) video.timing.push_back(*timing);
  };

  ::signal(SIGPIPE, SIG_IGN);
  struct sigaction sa {};
  sa.sa_handler = [](int) { interrupted = true; };
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);

  std::unique_ptr<HelperProcess> helper;
  try {
    helper = std::make_unique<HelperProcess>(helperOptions);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quellbrook-record: %s\n", e.what());
    return 2;
  }
  bool ok = true;

  for (const auto& command : options->commands) {
    uint64_t from = helper->lineCount();
    std::fprintf(stderr, "> %s\n", command.c_str());
    helper->send(command);
    auto expected = expectedAnswer(command);
    // A command without an answer of its own is acknowledged by the helper's echo of it.
    auto answer = helper->waitForLine(
        [&](const Line& l) { return expected ? expected->answeredBy(l) : l.text == "Received command: " + command; },
        10.0, from);
    if (!answer) {
      std::fprintf(stderr, "  no answer within 10 s\n");
      ok = false;
    } else {
      std::fprintf(stderr, "< %s\n", answer->text.c_str());
      if (answer->body.find(":error") != std::string::npos) ok = false;
    }
  }

  // Recording, with one progress line a second (rewritten in place on a terminal).
  const bool tty = ::isatty(STDERR_FILENO);
  const auto recordStart = std::chrono::steady_clock::now();
  while (!interrupted && helper->running()) {
    double elapsed = secondsSince(recordStart, std::chrono::steady_clock::now());
    if (elapsed >= options->seconds) break;
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::min(1000, static_cast<int>((options->seconds - elapsed) * 1000) + 1)));
    std::lock_guard guard(mutex);
    std::fprintf(stderr, "%s%6.1fs  mic %6llu frames %s   system %6llu frames %s   video %5llu frames%s",
                 tty ? "\r" : "", secondsSince(recordStart, std::chrono::steady_clock::now()),
                 static_cast<unsigned long long>(channels[0].frames), dbfs(channels[0].lastLevel / 65535.0).c_str(),
                 static_cast<unsigned long long>(channels[1].frames), dbfs(channels[1].lastLevel / 65535.0).c_str(),
                 static_cast<unsigned long long>(video.frames), tty ? "" : "\n");
  }
  if (tty) std::fprintf(stderr, "\n");
  const auto recordEnd = std::chrono::steady_clock::now();
  double recorded = secondsSince(recordStart, recordEnd);

  if (helper->running()) {
    uint64_t from = helper->lineCount();
    helper->send("STOP");
    const auto stopped = expectedAnswer("STOP");
    if (!helper->waitForLine([&](const Line& l) { return stopped->answeredBy(l); }, 10.0, from)) {
      std::fprintf(stderr, "no answer to STOP within 10 s\n");
      ok = false;
    }
  } else {
    std::fprintf(stderr, "the helper ended before STOP\n");
    ok = false;
  }
  auto status = helper->waitForExit(10.0);
  if (!status) {
    std::fprintf(stderr, "the helper did not exit within 10 s after STOP; killing it\n");
    helper->kill(SIGKILL);
    status = helper->waitForExit(5.0);
    ok = false;
  }
  std::string protocolError = helper->protocolError();
  helper.reset();  // readers done: no more callbacks

  std::lock_guard guard(mutex);
  for (auto& ch : channels) ch.wav.close();
  if (video.file.is_open()) video.file.close();
  for (auto& g : gapReports) events << g << '\n';
  events.close();

  std::fprintf(stderr, "\nrecorded %.1f s into %s\n", recorded, options->outDir.c_str());
  for (auto& ch : channels) {
    double avg = ch.frames ? ch.levelSum / static_cast<double>(ch.frames) : 0;
    // The rate counts from the channel's first frame: a live device's first audio can come
    // a second or two after the start.
    double delivering = ch.firstFrame ? secondsSince(*ch.firstFrame, recordEnd) : 0;
    char first[48] = "no frames";
    if (ch.firstFrame)
      std::snprintf(first, sizeof first, "first after %.2f s", secondsSince(recordStart, *ch.firstFrame));
    std::fprintf(stderr,
                 "  %-6s %7llu frames (%.1f s of audio, %s, %.1f frames/s from then), %llu gaps (%llu frames "
                 "missing), mean level %s%s\n",
                 ch.name, static_cast<unsigned long long>(ch.frames),
                 static_cast<double>(ch.wav.dataBytes()) / 192000.0, first,
                 delivering > 0 ? static_cast<double>(ch.frames) / delivering : 0.0,
                 static_cast<unsigned long long>(ch.gaps), static_cast<unsigned long long>(ch.missingFrames),
                 dbfs(avg).c_str(), ch.formatMismatch ? " [frames not 48 kHz stereo 16-bit]" : "");
    if (ch.gaps || ch.formatMismatch) ok = false;
  }
  if (video.frames) {
    std::fprintf(
        stderr, "  video  %7llu frames (%ux%u @%u fps, %llu keyframes, %llu bytes, last pts %.3f s), %llu gaps: %s\n",
        static_cast<unsigned long long>(video.frames), video.width, video.height, video.fps,
        static_cast<unsigned long long>(video.keyframes), static_cast<unsigned long long>(video.bytes),
        static_cast<double>(video.lastPts) / 1e6, static_cast<unsigned long long>(video.gaps), videoPath.c_str());
    if (video.gaps) ok = false;
  }
  for (auto& g : gapReports) std::fprintf(stderr, "  %s\n", g.c_str());
  if (!protocolError.empty()) {
    std::fprintf(stderr, "  protocol error on stdout: %s\n", protocolError.c_str());
    ok = false;
  }
  if (mux && !writeMux(options->muxPath, options->outDir, channels, video)) ok = false;
  std::fprintf(stderr, "  helper: %s\n", status ? status->describe().c_str() : "still running");
  if (!status || !status->exited || status->code != 0) ok = false;
  std::fprintf(stderr, "%s\n", ok ? "OK" : "PROBLEMS (see above)");
  return ok ? 0 : 1;
}
