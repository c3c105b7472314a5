// Encodes recorded screen pictures the way the helper does, so that its picture quality and
// encoding cost can be compared with another encoder's on exactly the same pictures.
//
//   screen_encode --size WxH --fps N --bitrate BPS --out FILE.h264 --map FILE
//                 [--x264 NAME=VALUE]... [--preset-only] [--no-hint]  < BGRA pictures
//
// Standard input: pictures of W x H, 4 bytes a pixel (B, G, R, unused), back to back, the
// first at time 0 and one every 1/N s (as `ffmpeg -f rawvideo -pix_fmt bgr0` writes them).
// As on a live screen, a picture equal to the one before is not captured at all, and each
// captured one carries the areas that changed (16 x 16 blocks that differ, in runs), as
// damage would name them; they go through the helper's converter and libx264 encoder with
// its screen settings, changed by --x264 options (libx264's command-line names) or, with
// --preset-only, the preset and tune alone; --no-hint leaves out the unchanged macroblocks.
//
// Writes the Annex B stream to --out and, for every input picture, the index of the output
// frame that shows it (one number a line) to --map. Prints one line:
//   pictures=N encoded=N bytes=N convert_cpu=S encode_cpu=S
// where the CPU seconds leave out reading and comparing the pictures, which stand for the
// capture here.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "platform/linux/encode/PictureConverter.hpp"
#include "platform/linux/encode/X264VideoEncoder.hpp"
#include "screen/H264Packager.hpp"

namespace {

using qb::encode::PixelRect;

double threadCpu() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

double processCpu() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

bool readFully(uint8_t* to, size_t size) {
  size_t done = 0;
  while (done < size) {
    const size_t n = std::fread(to + done, 1, size - done, stdin);
    if (n == 0) return false;
    done += n;
  }
  return true;
}

// The 16 x 16 blocks where `now` differs from `before`, as runs along block rows, a run
// joined with the one above it when they span the same columns.
std::vector<PixelRect> changedAreas(const uint8_t* before, const uint8_t* now, int width, int height) {
  constexpr int kBlock = 16;
  const int columns = (width + kBlock - 1) / kBlock, stride = width * 4;
  std::vector<PixelRect> areas, above, current;
  for (int by = 0; by * kBlock < height; ++by) {
    const int y0 = by * kBlock, rows = std::min(kBlock, height - y0);
    std::vector<bool> changed(size_t(columns), false);
    for (int y = y0; y < y0 + rows; ++y)
      for (int bx = 0; bx < columns; ++bx) {
        if (changed[size_t(bx)]) continue;
        const size_t at = size_t(y) * size_t(stride) + size_t(bx) * kBlock * 4;
        const size_t bytes = size_t(std::min(kBlock, width - bx * kBlock)) * 4;
        changed[size_t(bx)] = std::memcmp(before + at, now + at, bytes) != 0;
      }
    current.clear();
    for (int bx = 0; bx < columns;) {
      if (!changed[size_t(bx)]) {
        ++bx;
        continue;
      }
      int end = bx;
      while (end < columns && changed[size_t(end)]) ++end;
      PixelRect run{bx * kBlock, y0, std::min(end * kBlock, width) - bx * kBlock, rows};
      for (auto& a : above)
        if (a.x == run.x && a.width == run.width && a.y + a.height == y0) {
          run = {a.x, a.y, a.width, a.height + rows};
          a.width = 0;  // taken over
        }
      current.push_back(run);
      bx = end;
    }
    for (const auto& a : above)
      if (a.width > 0) areas.push_back(a);
    above = current;
  }
  for (const auto& a : above)
    if (a.width > 0) areas.push_back(a);
  return areas;
}

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: screen_encode --size WxH --fps N --bitrate BPS --out FILE.h264 --map FILE "
               "[--x264 NAME=VALUE]... [--preset-only] [--no-hint] < BGRA pictures\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  qb::EncoderSettings settings;
  std::string outPath, mapPath;
  std::vector<qb::encode::X264Option> options;  // after the screen settings, unless presetOnly
  bool presetOnly = false, hint = true;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (a == "--preset-only") {
      presetOnly = true;
      continue;
    }
    if (a == "--no-hint") {
      hint = false;
      continue;
    }
    if (!value) usage();
    ++i;
    if (a == "--size" && std::sscanf(value, "%dx%d", &settings.width, &settings.height) == 2) continue;
    if (a == "--fps")
      settings.fps = std::atoi(value);
    else if (a == "--bitrate")
      settings.bitrate = std::atoll(value);
    else if (a == "--out")
      outPath = value;
    else if (a == "--map")
      mapPath = value;
    else if (a == "--x264" && std::strchr(value, '=')) {
      const std::string o = value;
      options.push_back({o.substr(0, o.find('=')), o.substr(o.find('=') + 1)});
    } else {
      usage();
    }
  }
  if (settings.width <= 0 || settings.height <= 0 || settings.fps <= 0 || settings.bitrate <= 0 || outPath.empty() ||
      mapPath.empty())
    usage();

  if (!presetOnly)
    options.insert(options.begin(), qb::encode::kScreenContentOptions.begin(), qb::encode::kScreenContentOptions.end());
  auto opened = qb::encode::openX264(settings, options);
  if (!std::holds_alternative<std::unique_ptr<qb::VideoEncoder>>(opened)) {
    std::fprintf(stderr, "screen_encode: libx264 refused these settings (%d)\n", std::get<int32_t>(opened));
    return 1;
  }
  auto encoder = std::move(std::get<std::unique_ptr<qb::VideoEncoder>>(opened));
  qb::encode::PictureConverter converter(settings.width, settings.height, qb::kPixelFormat420v, 2);
  qb::H264Packager packager;
  std::ofstream out(outPath, std::ios::binary), map(mapPath);

  const size_t bytes = size_t(settings.width) * size_t(settings.height) * 4;
  std::vector<uint8_t> shown(bytes), next(bytes);  // the converter reads `shown`, at one address
  const qb::encode::BgraView view{shown.data(), settings.width * 4, settings.width, settings.height};
  double captureCpu = 0, convertCpu = 0;
  const double cpuStart = processCpu();
  int pictures = 0, encoded = 0;
  size_t written = 0;
  for (;; ++pictures) {
    double t0 = threadCpu();
    if (!readFully(next.data(), bytes)) break;
    std::vector<PixelRect> damage;
    if (pictures > 0) {
      damage = changedAreas(shown.data(), next.data(), settings.width, settings.height);
      if (damage.empty()) {
        captureCpu += threadCpu() - t0;
        map << encoded - 1 << '\n';
        continue;
      }
    }
    std::memcpy(shown.data(), next.data(), bytes);
    double t1 = threadCpu();
    captureCpu += t1 - t0;
    auto frame = converter.convert(view, damage, nullptr, double(pictures) / settings.fps);
    convertCpu += threadCpu() - t1;
    if (!frame) {
      std::fprintf(stderr, "screen_encode: no picture free\n");
      return 1;
    }
    if (!hint) frame->changedSince = 0;
    std::promise<bool> done;
    encoder->encode(*frame, encoded == 0, [&](std::optional<qb::PlatformError> error, const qb::EncodedFrame* f) {
      if (!error && f)
        if (auto packet = packager.package(*f, 0.0)) {
          out.write(reinterpret_cast<const char*>(packet->annexB.data()), std::streamsize(packet->annexB.size()));
          written += packet->annexB.size();
        }
      done.set_value(!error && f);
    });
    frame.reset();
    if (!done.get_future().get()) {
      std::fprintf(stderr, "screen_encode: picture %d failed\n", pictures);
      return 1;
    }
    map << encoded++ << '\n';
  }
  encoder.reset();
  const double total = processCpu() - cpuStart;
  std::printf("pictures=%d encoded=%d bytes=%zu convert_cpu=%.3f encode_cpu=%.3f\n", pictures, encoded, written,
              convertCpu, total - captureCpu - convertCpu);
  return 0;
}
