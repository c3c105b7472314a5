// What screen capture costs at 1920x1080, stage by stage and as a whole, beside ffmpeg.
//
//   encoder  resident memory an encoder holds at 1920x1080
//   grab     one 1920x1080 grab of the root window, through MIT-SHM and through GetImage
//   pipeline CPU seconds per captured second of our stream + encoder while a window moves,
//            at 10 and 30 fps, measured in the same run as ffmpeg's x11grab + libx264 at the
//            same size, rate, bit rate and preset on the same display; printed with the ratio.
//            Both in their steady state: their start and first keyframe are left out.
//   still    CPU share of one core while our stream shows a still screen; only meaningful on a
//            display where nothing changes: the usual test display has a ticking clock, so
//            take one of scripts/test-env start-display for this figure
//
//   bench_screen [--seconds 8] [--skip-ffmpeg]
//
// Needs a 1920x1080 DISPLAY (eval "$(scripts/test-env start)") and build/qb-test-window
// (the moving window). The encoder is the platform's (hardware where it opens, else libx264).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ProcessStats.hpp"
#include "platform/Platform.hpp"
#include "platform/linux/LinuxPlatform.hpp"
#include "platform/linux/encode/X264VideoEncoder.hpp"
#include "platform/linux/x11/X11Connection.hpp"
#include "platform/linux/x11/X11Displays.hpp"
#include "platform/linux/x11/X11Grabber.hpp"
#include "runtime/ProcessSpawn.hpp"
#include "runtime/ThreadExecutor.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWidth = 1920, kHeight = 1080;
constexpr int64_t kBitrate = 2000000;

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

double cpuSeconds(const rusage& u) {
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
rusage selfUsage() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u;
}
double selfCpu() { return cpuSeconds(selfUsage()); }

void benchGrab(bool shm) {
  std::string why;
  std::vector<std::string> hide;
  if (!shm) hide.push_back("MIT-SHM");
  auto x = qb::x11::X11Connection::open({}, &why, hide);
  if (!x) {
    std::printf("grab: no display (%s)\n", why.c_str());
    return;
  }
  qb::x11::X11Grabber grabber(x);
  const int w = std::min<int>(kWidth, x->screen().width_in_pixels),
            h = std::min<int>(kHeight, x->screen().height_in_pixels);
  grabber.grab(x->root(), 0, 0, w, h);  // sets up the segment
  const int n = 60;
  const double cpu0 = selfCpu();
  const auto t0 = Clock::now();
  for (int i = 0; i < n; ++i)
    if (!grabber.grab(x->root(), 0, 0, w, h, &why).pixels) {
      std::printf("grab failed: %s\n", why.c_str());
      return;
    }
  std::printf("grab %dx%d %-8s %6.2f ms wall, %6.2f ms CPU per frame (this process; the server's work is not in it)\n",
              w, h, grabber.usesSharedMemory() ? "MIT-SHM" : "GetImage", secondsSince(t0) * 1000 / n,
              (selfCpu() - cpu0) * 1000 / n);
}

// What an encoder holds at 1920x1080: resident memory before it is made and after it has
// encoded a second of changing pictures, and the process's peak. Run first, before anything
// else has raised the peak.
void benchEncoderMemory(qb::Platform& platform, int fps) {
  if (!platform.videoEncoders) return;
  const long before = qbtools::statusKiB(::getpid(), "VmRSS"), peakBefore = qbtools::statusKiB(::getpid(), "VmHWM");
  auto made = platform.videoEncoders->create(qb::EncoderSettings{kWidth, kHeight, fps, kBitrate});
  auto* encoder = std::get_if<std::unique_ptr<qb::VideoEncoder>>(&made);
  if (!encoder) return;
  const int stride = kWidth;
  auto memory = std::make_shared<std::vector<uint8_t>>(size_t(stride) * kHeight * 3 / 2, 128);
  for (int i = 0; i < fps; ++i) {
    // A band of changing rows, so the encoder has references and residuals to keep.
    std::memset(memory->data() + size_t(stride) * size_t((i * 37) % (kHeight - 64)), (i * 29) & 0xFF,
                size_t(stride) * 64);
    qb::VideoFrame f;
    f.width = kWidth;
    f.height = kHeight;
    f.pixelFormat = qb::kPixelFormat420v;
    f.planes[0] = memory->data();
    f.planes[1] = memory->data() + size_t(stride) * kHeight;
    f.strides[0] = f.strides[1] = stride;
    f.presentationTime = double(i) / fps;
    f.owner = memory;
    (*encoder)->encode(f, false, [](auto, const qb::EncodedFrame*) {});
    (*encoder)->completeFrames();
  }
  const long after = qbtools::statusKiB(::getpid(), "VmRSS"), peak = qbtools::statusKiB(::getpid(), "VmHWM");
  std::printf(
      "encoder 1080p%d memory: %.1f MB resident after a second of pictures (%.1f MB before), peak %.1f MB "
      "(%.1f MB before)\n",
      fps, double(after) / 1024, double(before) / 1024, double(peak) / 1024, double(peakBefore) / 1024);
}

// A window of the test client gliding over the screen: the content changes every frame.
struct MovingWindow {
  pid_t pid = -1;
  int in = -1;
  int devNull_ = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  explicit MovingWindow(int fps) {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return;
    // The test client is built next to the benchmarks.
    std::string exe(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", exe.data(), exe.size());
    exe.resize(n > 0 ? size_t(n) : 0);
    exe = exe.substr(0, exe.rfind('/') + 1) + "qb-test-window";
    pid =
        qb::spawnWithDefaultSignals({exe, "--geometry", "800x600+100+100", "--pattern", "checker"}, p[0], devNull_, -1);
    ::close(p[0]);
    in = p[1];
    const std::string cmd = "animate move " + std::to_string(fps) + "\n";
    if (::write(in, cmd.data(), cmd.size()) < 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // mapped and moving
  }
  ~MovingWindow() {
    if (in >= 0) ::close(in);  // the client ends with its standard input
    if (pid > 0) ::waitpid(pid, nullptr, 0);
    ::close(devNull_);
  }
};

class Pipeline : public qb::StreamOutput, public qb::StreamDelegate {
 public:
  explicit Pipeline(std::unique_ptr<qb::VideoEncoder> encoder) : encoder_(std::move(encoder)) {}
  void streamDidOutputVideo(const qb::CaptureStream&, const qb::VideoFrame& frame) override {
    ++pictures;
    if (encoder_)
      encoder_->encode(frame, false, [this](auto, const qb::EncodedFrame* f) {
        if (f) bytes += f->lengthPrefixedNALs.size();
        ++outputs;
      });
  }
  void streamDidStop(const qb::CaptureStream&, const qb::PlatformError& e) override {
    std::printf("stream stopped: %s\n", e.printed().c_str());
  }
  void finish() {
    if (encoder_) encoder_->completeFrames();
  }
  // The first picture is through: captured and, with an encoder, encoded.
  bool started() const { return pictures > 0 && (!encoder_ || outputs > 0); }
  std::atomic<int> pictures{0};
  std::atomic<int> outputs{0};
  std::atomic<size_t> bytes{0};

 private:
  std::unique_ptr<qb::VideoEncoder> encoder_;
};

struct Figures {
  double cpuPerSecond = 0;
  int pictures = 0;
  double kbps = 0;
  long pageFaults = 0;       // minor faults in the process while measuring
  long contextSwitches = 0;  // voluntary and involuntary
};

// Our stream (+ encoder) on the first display for `seconds`.
Figures runOurs(qb::Platform& platform, qb::Executor& executor, int fps, double seconds, bool* encoded) {
  std::unique_ptr<qb::VideoEncoder> encoder;
  if (platform.videoEncoders) {
    auto made = platform.videoEncoders->create(qb::EncoderSettings{kWidth, kHeight, fps, kBitrate});
    if (auto* e = std::get_if<std::unique_ptr<qb::VideoEncoder>>(&made)) encoder = std::move(*e);
  }
  *encoded = encoder != nullptr;
  auto pipeline = std::make_shared<Pipeline>(std::move(encoder));
  qb::StreamConfiguration c;
  c.width = kWidth;
  c.height = kHeight;
  c.pixelFormat = qb::kPixelFormat420v;
  c.minimumFrameIntervalValue = 1;
  c.minimumFrameIntervalTimescale = fps;
  auto monitors = qb::queryX11Monitors();
  const uint32_t display = monitors && !monitors->empty() ? monitors->front().id : 1;
  auto stream = platform.screen->makeStream(qb::ContentFilter::forDisplay(display), c, pipeline);
  stream->addStreamOutput(pipeline, qb::StreamOutputType::screen, executor.makeQueue("bench.video"));
  qb::Completion<std::optional<qb::PlatformError>> started;
  stream->startCapture([started](auto e) { started.complete(e); });
  if (auto e = started.wait(executor)) {
    std::printf("start failed: %s\n", e->printed().c_str());
    return {};
  }
  // The steady state: from the first picture's output on, without the start and the first
  // keyframe (ffmpeg's figure leaves out its start the same way).
  for (int i = 0; i < 500 && !pipeline->started(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const int first = pipeline->pictures;
  const size_t firstBytes = pipeline->bytes;
  const rusage u0 = selfUsage();
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  qb::Completion<std::optional<qb::PlatformError>> stopped;
  stream->stopCapture([stopped](auto e) { stopped.complete(e); });
  stopped.wait(executor);
  pipeline->finish();
  const double wall = secondsSince(t0);
  const rusage u1 = selfUsage();
  return Figures{(cpuSeconds(u1) - cpuSeconds(u0)) / wall, pipeline->pictures - first,
                 double(pipeline->bytes - firstBytes) * 8 / wall / 1000, u1.ru_minflt - u0.ru_minflt,
                 (u1.ru_nvcsw + u1.ru_nivcsw) - (u0.ru_nvcsw + u0.ru_nivcsw)};
}

// ffmpeg grabbing the same display at the same size and rate into libx264 with the same
// settings; its CPU from its own resource usage.
Figures runFfmpeg(int fps, double seconds) {
  const char* display = std::getenv("DISPLAY");
  const std::string rate = std::to_string(fps), br = std::to_string(kBitrate);
  std::vector<std::string> argv = {"ffmpeg",
                                   "-nostdin",
                                   "-loglevel",
                                   "error",
                                   "-f",
                                   "x11grab",
                                   "-draw_mouse",
                                   "1",
                                   "-framerate",
                                   rate,
                                   "-video_size",
                                   std::to_string(kWidth) + "x" + std::to_string(kHeight),
                                   "-i",
                                   display ? display : ":0",
                                   "-t",
                                   std::to_string(seconds + 2),
                                   "-c:v",
                                   "libx264",
                                   "-preset",
                                   qb::encode::kX264Preset,
                                   "-tune",
                                   "zerolatency",
                                   "-profile:v",
                                   "main",
                                   "-pix_fmt",
                                   "yuv420p",
                                   "-b:v",
                                   br,
                                   "-maxrate",
                                   br,
                                   "-bufsize",
                                   br,
                                   "-g",
                                   rate,
                                   "-bf",
                                   "0",
                                   "-f",
                                   "null",
                                   "-"};
  const pid_t pid = qb::spawnWithDefaultSignals(argv, -1, -1, -1);
  if (pid <= 0) return {};
  // Its steady state: a second after the start until a second before the end.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const double cpu0 = qbtools::cpuSeconds(pid);
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double cpu = qbtools::cpuSeconds(pid) - cpu0, wall = secondsSince(t0);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::printf("ffmpeg failed (status %d)\n", status);
    return {};
  }
  return Figures{cpu / wall, 0, 0};
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  double seconds = 8;
  bool ffmpeg = true;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc)
      seconds = std::atof(argv[++i]);
    else if (!std::strcmp(argv[i], "--skip-ffmpeg"))
      ffmpeg = false;
    else {
      std::fprintf(stderr, "usage: bench_screen [--seconds S] [--skip-ffmpeg]\n");
      return 2;
    }
  }
  if (!std::getenv("DISPLAY")) {
    std::fprintf(stderr, "bench_screen: DISPLAY is not set (eval \"$(scripts/test-env start)\")\n");
    return 2;
  }
  qb::ThreadExecutor executor;
  qb::Platform platform =
      qb::makeLinuxPlatform(executor, [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
  benchEncoderMemory(platform, 30);
  benchGrab(true);
  benchGrab(false);
  bool encoded = false;
  {
    // A still screen: one picture at start, then nothing to do.
    const Figures still = runOurs(platform, executor, 30, seconds, &encoded);
    std::printf("still screen 30 fps: %.2f%% of a core, %d pictures after the first in %.0f s%s%s\n",
                still.cpuPerSecond * 100, still.pictures, seconds, encoded ? "" : " (no encoder in this build)",
                still.pictures > 0 ? " (the screen was not still: see the usage)" : "");
  }
  for (int fps : {10, 30}) {
    MovingWindow window(30);
    const Figures ours = runOurs(platform, executor, fps, seconds, &encoded);
    const double perPicture = 1.0 / std::max(1, ours.pictures);
    std::printf(
        "1080p%d moving window, ours:   %.3f CPU s per s, %d pictures, %.0f kbit/s, %.1f page faults and %.1f context "
        "switches per picture%s\n",
        fps, ours.cpuPerSecond, ours.pictures, ours.kbps, double(ours.pageFaults) * perPicture,
        double(ours.contextSwitches) * perPicture, encoded ? "" : " (capture + convert only: no encoder)");
    if (!ffmpeg) continue;
    const Figures peer = runFfmpeg(fps, seconds);
    if (peer.cpuPerSecond > 0 && encoded)
      std::printf("1080p%d moving window, ffmpeg: %.3f CPU s per s -> ours/ffmpeg = %.2f\n", fps, peer.cpuPerSecond,
                  ours.cpuPerSecond / peer.cpuPerSecond);
    else if (peer.cpuPerSecond > 0)
      std::printf("1080p%d moving window, ffmpeg: %.3f CPU s per s (no ratio: ours ran without an encoder)\n", fps,
                  peer.cpuPerSecond);
  }
  return 0;
}
