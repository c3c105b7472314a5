// Reads a video stream from standard input as it arrives, stamps every read with
// CLOCK_MONOTONIC, and once the stream ends tells when each frame arrived and which counter
// of the test window (TestPictures.hpp) its decoded picture shows.
//
//   video_latency_probe --input helper|annexb [--region X,Y,W,H] [--paints FILE]
//
//   helper   the helper's standard output (APLD frames; audio frames are listed too)
//   annexb   a raw H.264 stream (Annex B), e.g. ffmpeg's "-f h264 pipe:1"
//   --region where the counter window lies in the picture; without it nothing is decoded
//   --paints the test window's output ("paint N SECONDS" lines): prints the latencies too
//
// Prints, one line each:
//   frame <counter or -1> <arrival seconds> <1 keyframe, 0 other>
//   audio <frame type> <sequence> <arrival seconds>
//   latency count=<n> missed=<n> p50=<ms> p90=<ms>      (with --paints)
//   split to_grab_p50=<ms> ... grab_to_output_p90=<ms>   (with --paints, helper input: the
//            latency cut at the grab, whose time comes from the frames' pts)
//   stream bytes=<n> reads=<n> error=<text>             (error only when the stream broke)
//
// A frame arrives with the read that delivered its last byte. Decoding waits until the stream
// has ended, so it neither delays a read nor takes CPU from the process being measured.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include "AnnexBUnits.hpp"
#include "FrameLatency.hpp"
#include "ProtocolReader.hpp"
#include "TestPictures.hpp"

namespace {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, as the test window's paint times

double secondsOf(Clock::time_point t) { return std::chrono::duration<double>(t.time_since_epoch()).count(); }

struct Region {
  int x = 0, y = 0, width = 0, height = 0;
};

// An H.264 decoder that reads the counter out of each picture. Pictures come out in the order
// the access units went in (no B-frames), each tagged with the index of its access unit.
class CounterReader {
 public:
  explicit CounterReader(std::optional<Region> region) : region_(region) {
    if (!region_) return;
    ctx_ = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264));
    ctx_->thread_count = 1;
    ctx_->flags |= AV_CODEC_FLAG_LOW_DELAY;
    if (avcodec_open2(ctx_, nullptr, nullptr) < 0) {
      std::fprintf(stderr, "video_latency_probe: cannot open the H.264 decoder\n");
      std::exit(1);
    }
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
  }
  ~CounterReader() {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&ctx_);
  }
  CounterReader(const CounterReader&) = delete;
  CounterReader& operator=(const CounterReader&) = delete;

  // Decodes one access unit; `shown` gets (index, counter) for every picture that came out.
  void decode(const uint8_t* data, size_t size, int64_t index,
              std::vector<std::pair<int64_t, std::optional<uint16_t>>>& shown) {
    if (!ctx_) return;
    packet_->data = const_cast<uint8_t*>(data);
    packet_->size = int(size);
    packet_->pts = index;
    if (avcodec_send_packet(ctx_, packet_) < 0) {
      shown.push_back({index, std::nullopt});  // a broken unit still counts as a frame
      return;
    }
    while (avcodec_receive_frame(ctx_, frame_) == 0) shown.push_back({frame_->pts, counterOf(*frame_)});
  }

 private:
  std::optional<uint16_t> counterOf(const AVFrame& f) const {
    const Region& r = *region_;
    if (r.x < 0 || r.y < 0 || r.x + r.width > f.width || r.y + r.height > f.height) return std::nullopt;
    auto luma = [&](int px, int py) { return double(f.data[0][size_t(py) * size_t(f.linesize[0]) + size_t(px)]); };
    return qb::testpictures::decodeCounter(luma, r.x, r.y, r.width, r.height);
  }

  std::optional<Region> region_;
  AVCodecContext* ctx_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
};

struct Read {
  size_t size = 0;
  Clock::time_point at;
};

struct FrameOut {
  int64_t index = 0;
  double arrival = 0;
  bool keyframe = false;
  std::optional<uint16_t> counter;
  std::optional<double> grabbed;  // the helper's pts, in seconds
};

std::vector<qbbench::Paint> readPaints(const std::string& path) {
  std::vector<qbbench::Paint> paints;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string word;
    unsigned n = 0;
    double t = 0;
    if (words >> word && word == "paint" && words >> n >> t) paints.push_back({uint16_t(n), t});
  }
  return paints;
}

[[noreturn]] void usage() {
  std::fprintf(stderr, "usage: video_latency_probe --input helper|annexb [--region X,Y,W,H] [--paints FILE]\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  std::string input, paintsPath;
  std::optional<Region> region;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--input" && i + 1 < argc) {
      input = argv[++i];
    } else if (a == "--region" && i + 1 < argc) {
      Region r;
      if (std::sscanf(argv[++i], "%d,%d,%d,%d", &r.x, &r.y, &r.width, &r.height) != 4) usage();
      region = r;
    } else if (a == "--paints" && i + 1 < argc) {
      paintsPath = argv[++i];
    } else {
      usage();
    }
  }
  if (input != "helper" && input != "annexb") usage();

  // The whole stream stays in memory: a few MB for a run of seconds.
  std::vector<uint8_t> bytes;
  std::vector<Read> reads;
  std::vector<uint8_t> buffer(1 << 20);
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
    const auto at = Clock::now();
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      std::fprintf(stderr, "video_latency_probe: read: %s\n", std::strerror(errno));
      return 1;
    }
    if (n == 0) break;
    bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + n);
    reads.push_back({size_t(n), at});
  }

  av_log_set_level(AV_LOG_FATAL);  // a unit caught before its keyframe is expected
  CounterReader reader(region);
  std::vector<std::pair<int64_t, std::optional<uint16_t>>> shown;
  std::vector<FrameOut> frames;
  std::string error;
  if (input == "helper") {
    qbtools::FrameParser parser;
    size_t offset = 0;
    for (const Read& r : reads) {
      for (auto& f : parser.feed(std::span(bytes.data() + offset, r.size), r.at)) {
        if (f.isVideo()) {
          const auto index = int64_t(frames.size());
          frames.push_back({index, secondsOf(f.received), f.isKeyframe(), std::nullopt, double(f.pts) / 1e6});
          reader.decode(f.payload.data(), f.payload.size(), index, shown);
        } else {
          std::printf("audio %u %u %.6f\n", unsigned(f.type), unsigned(f.sequence), secondsOf(f.received));
        }
      }
      offset += r.size;
    }
    if (parser.failed()) error = parser.error();
  } else {
    std::vector<qbbench::ReadMark> marks;
    uint64_t end = 0;
    for (const Read& r : reads) marks.push_back({end += r.size, secondsOf(r.at)});
    for (const qbbench::AccessUnit& u : qbbench::splitAccessUnits(bytes)) {
      const auto index = int64_t(frames.size());
      frames.push_back({index, qbbench::arrivalOf(marks, u.end).value_or(0), u.keyframe, std::nullopt, std::nullopt});
      reader.decode(bytes.data() + u.begin, u.end - u.begin, index, shown);
    }
  }
  for (const auto& [index, counter] : shown)
    if (index >= 0 && index < int64_t(frames.size())) frames[size_t(index)].counter = counter;

  std::vector<qbbench::ShownFrame> seen;
  for (const FrameOut& f : frames) {
    std::printf("frame %d %.6f %d\n", f.counter ? int(*f.counter) : -1, f.arrival, f.keyframe ? 1 : 0);
    seen.push_back({f.counter, f.arrival, f.grabbed});
  }
  if (!paintsPath.empty()) {
    const auto paints = readPaints(paintsPath);
    const auto result = qbbench::matchPaints(paints, seen);
    auto ms = [](const std::vector<double>& v, double q) { return qbbench::quantile(v, q) * 1000; };
    std::printf("latency count=%zu missed=%d p50=%.1f p90=%.1f\n", result.latencies.size(), result.missed,
                ms(result.latencies, 0.5), ms(result.latencies, 0.9));
    if (const auto split = qbbench::splitAtGrab(paints, seen, result))
      std::printf("split to_grab_p50=%.1f to_grab_p90=%.1f grab_to_output_p50=%.1f grab_to_output_p90=%.1f\n",
                  ms(split->toGrab, 0.5), ms(split->toGrab, 0.9), ms(split->grabToOutput, 0.5),
                  ms(split->grabToOutput, 0.9));
  }
  std::printf("stream bytes=%zu reads=%zu%s%s\n", bytes.size(), reads.size(),
              error.empty() ? "" : " error=", error.c_str());
  return 0;
}
