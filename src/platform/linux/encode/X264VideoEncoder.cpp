#include "platform/linux/encode/X264VideoEncoder.hpp"

#include <cerrno>
#include <cstdint>
extern "C" {
#include <x264.h>
}
#include <libyuv/convert_from_argb.h>

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/encode/NalUnits.hpp"
#include "platform/linux/encode/ThreadedVideoEncoder.hpp"

namespace qb::encode {

namespace {

constexpr int32_t kRefused = -EINVAL;
constexpr int32_t kFailed = -EIO;
constexpr int kPtsPerSecond = 1000000;

struct X264Close {
  void operator()(x264_t* e) const { x264_encoder_close(e); }
};
using X264Ptr = std::unique_ptr<x264_t, X264Close>;

PlatformError encodeError(const std::string& what) { return PlatformError{kFailed, "H264Encoder", what}; }

// This process's mapped address ranges, in address order.
std::vector<std::pair<uintptr_t, uintptr_t>> mappedRanges() {
  std::vector<std::pair<uintptr_t, uintptr_t>> ranges;
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    unsigned long from = 0, to = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx", &from, &to) == 2) ranges.emplace_back(from, to);
  }
  return ranges;
}

// The part of a buffer of `bytes` that libx264 asks transparent huge pages for (it rounds the
// buffer to whole 2 MB pages, down unless within 1.75 MB of the next), or 0 below 1.75 MB.
size_t hugeAdvised(size_t bytes) {
  constexpr size_t kHuge = size_t(2) << 20, kThreshold = kHuge * 7 / 8;
  return bytes < kThreshold ? 0 : (bytes + kHuge - kThreshold) & ~(kHuge - 1);
}

// libx264 asks for transparent huge pages on every buffer above 1.75 MB, and a huge page is
// resident as a whole once touched. That pays for its picture buffers (it encodes a 1080p frame
// about 15% faster with them) but not for its two output buffers (8 and 12 MB at 1080p, of
// which a frame fills a few hundred kB, and which then held 2 MB each). Those are mapped when
// it opens, each at a 2 MB boundary in a range of its own, of a size known from libx264's own
// formula (a neighbour may take the range's last pages): such a range keeps to small pages. A
// size that fits more than one range is left alone: a wrong guess would only cost speed.
X264Ptr openWithOutputBuffersOnSmallPages(x264_param_t& p) {
  constexpr uintptr_t kHuge = uintptr_t(2) << 20;
  if (p.i_threads != 1) return X264Ptr(x264_encoder_open(&p));  // more threads, more buffers of each size
  const auto before = mappedRanges();
  X264Ptr encoder(x264_encoder_open(&p));
  if (!encoder) return encoder;
  std::vector<std::pair<uintptr_t, uintptr_t>> opened;
  for (const auto& range : mappedRanges()) {
    const uintptr_t from = range.first, to = range.second;
    const bool old = std::any_of(before.begin(), before.end(), [&](auto r) { return r.first < to && r.second > from; });
    if (!old && from % kHuge == 0) opened.emplace_back(from, to);
  }
  const double pixels = double(p.i_width) * double(p.i_height);
  const auto bitstream = static_cast<size_t>(std::max(1000000.0, pixels * 4 * std::pow(0.95, p.rc.i_qp_min)));
  for (const size_t size : {hugeAdvised(bitstream), hugeAdvised(bitstream * 3 / 2 + 68)}) {
    std::vector<std::pair<uintptr_t, uintptr_t>> fits;
    for (auto r : opened)
      if (size > 0 && r.second - r.first <= size && r.second - r.first > size - kHuge) fits.push_back(r);
    if (fits.size() == 1)
      madvise(reinterpret_cast<void*>(fits[0].first), fits[0].second - fits[0].first, MADV_NOHUGEPAGE);
  }
  return encoder;
}

X264Ptr openEncoder(const EncoderSettings& s, std::span<const X264Option> options) {
  x264_param_t p;
  if (x264_param_default_preset(&p, kX264Preset, "zerolatency") < 0) return nullptr;
  p.i_log_level = X264_LOG_NONE;  // its log goes to stderr, the host's text channel
  p.i_width = s.width & ~1;
  p.i_height = s.height & ~1;
  p.i_csp = X264_CSP_NV12;
  p.i_fps_num = uint32_t(s.fps);
  p.i_fps_den = 1;
  p.i_timebase_num = 1;
  p.i_timebase_den = kPtsPerSecond;
  p.i_threads = x264ThreadCount(s, static_cast<int>(std::thread::hardware_concurrency()));
  p.i_keyint_max = s.fps;
  p.i_bframe = 0;
  const int kbps = static_cast<int>(std::clamp<int64_t>(s.bitrate / 1000, 1, INT32_MAX));
  p.rc.i_rc_method = X264_RC_ABR;
  p.rc.i_bitrate = kbps;
  p.rc.i_vbv_max_bitrate = kbps;
  p.rc.i_vbv_buffer_size = kbps;
  // What libyuv's ARGBToNV12 writes: BT.601 matrix, video range; the content is sRGB.
  p.vui.i_colmatrix = 6;  // SMPTE 170M
  p.vui.i_colorprim = 1;  // BT.709
  p.vui.i_transfer = 13;  // IEC 61966-2-1
  p.vui.b_fullrange = 0;
  // SPS and PPS once from the headers instead of in every keyframe; units length-prefixed,
  // the form the output takes.
  p.b_repeat_headers = 0;
  p.b_annexb = 0;
  p.b_aud = 0;
  // Pictures may say which macroblocks did not change (markUnchanged).
  p.analyse.b_mb_info = 1;
  for (const X264Option& o : options)
    if (x264_param_parse(&p, o.name.c_str(), o.value.c_str()) != 0) return nullptr;
  if (x264_param_apply_profile(&p, "main") < 0) return nullptr;
  return openWithOutputBuffersOnSmallPages(p);
}

// The raw unit inside one of libx264's length-prefixed payloads.
std::span<const uint8_t> unitOf(const x264_nal_t& nal) {
  return nal.i_payload > 4 ? std::span<const uint8_t>(nal.p_payload + 4, size_t(nal.i_payload - 4))
                           : std::span<const uint8_t>();
}

class X264VideoEncoder final : public ThreadedVideoEncoder {
 public:
  // `encoder` has encoded `encoded` pictures already (its proof): its next one is an IDR.
  X264VideoEncoder(X264Ptr encoder, const EncoderSettings& settings, std::span<const X264Option> options,
                   int64_t encoded)
      : encoder_(std::move(encoder)),
        settings_(settings),
        options_(options.begin(), options.end()),
        lastPts_(encoded > 0 ? std::optional<int64_t>(0) : std::nullopt),
        idrNext_(encoded > 0) {
    readHeaders();
    startThread();
  }
  ~X264VideoEncoder() override { stopThread(); }

 private:
  void encodeOne(VideoFrame frame, bool forceKeyframe, Output output) override {
    if (!encoder_) {
      // Drained by completeFrames: a fresh encoder continues, its first picture an IDR.
      encoder_ = openEncoder(settings_, options_);
      if (!encoder_) return deliver(output, encodeError("reopen failed"));
      readHeaders();
    }
    x264_picture_t in;
    x264_picture_init(&in);
    const uint64_t previous = std::exchange(lastSerial_, 0);
    if (!wrap(frame, in)) return deliver(output, encodeError("picture of another size"));
    if (frame.changedSince != 0 && frame.changedSince == previous) markUnchanged(frame, in);
    const std::optional<int64_t> before = lastPts_;
    in.i_pts = ptsOf(frame.presentationTime);
    if (before) budgetFor(in.i_pts - *before);
    in.i_type = forceKeyframe || idrNext_ ? X264_TYPE_IDR : X264_TYPE_AUTO;
    idrNext_ = false;
    track(in.i_pts, frame.presentationTime, std::move(output));
    x264_nal_t* nals = nullptr;
    int count = 0;
    x264_picture_t out;
    const int size = x264_encoder_encode(encoder_.get(), &nals, &count, &in, &out);
    const uint64_t serial = frame.serial;
    frame = {};  // libx264 copied the pixels in: the picture goes back to its pool
    if (size < 0) return failLast(encodeError("encode failed"));
    lastSerial_ = serial;
    if (size > 0) handleFrame(nals, count, out);
  }

  void drain() override {
    if (!encoder_ || !anyInFlight()) return;
    while (x264_encoder_delayed_frames(encoder_.get()) > 0) {
      x264_nal_t* nals = nullptr;
      int count = 0;
      x264_picture_t out;
      const int size = x264_encoder_encode(encoder_.get(), &nals, &count, nullptr, &out);
      if (size < 0) break;
      if (size > 0) handleFrame(nals, count, out);
    }
    failInFlight(encodeError("drained"));
    encoder_.reset();
    lastPts_.reset();
    lastTime_.reset();
    budgetFrames_ = 1;
    lastSerial_ = 0;
  }

  // Presentation times on libx264's clock, rising by at least one tick: the frame rate says how
  // long a picture is shown, but a picture of a still screen is shown until the next change.
  int64_t ptsOf(double presentationTime) {
    int64_t pts = 0;
    if (lastPts_ && lastTime_)
      pts = *lastPts_ + std::max<int64_t>(1, std::llround((presentationTime - *lastTime_) * kPtsPerSecond));
    else if (lastPts_)
      pts = *lastPts_ + kPtsPerSecond / settings_.fps;
    lastPts_ = pts;
    lastTime_ = presentationTime;
    return pts;
  }

  // libx264 budgets bits by frames at the configured rate, but a still screen sends no
  // pictures: the picture after a pause may spend what the frames of a fixed-rate stream would
  // have left in its buffer. So the refill of libx264's buffer model for this picture is scaled
  // by the frame intervals it stands for, up to just under its one second.
  void budgetFor(int64_t ptsSincePrevious) {
    const int frames =
        std::clamp<int>(static_cast<int>(std::llround(double(ptsSincePrevious) * settings_.fps / kPtsPerSecond)), 1,
                        std::max(1, settings_.fps - 1));
    if (frames == budgetFrames_) return;
    x264_param_t p;
    x264_encoder_parameters(encoder_.get(), &p);
    const int kbps = static_cast<int>(std::clamp<int64_t>(settings_.bitrate / 1000, 1, INT32_MAX / frames));
    p.rc.i_bitrate = p.rc.i_vbv_max_bitrate = kbps * frames;
    if (x264_encoder_reconfig(encoder_.get(), &p) == 0) budgetFrames_ = frames;
  }

  // '420v' as it lies; 'BGRA' through an NV12 picture of the encoder's own.
  bool wrap(const VideoFrame& frame, x264_picture_t& in) {
    const int w = settings_.width & ~1, h = settings_.height & ~1;
    if (frame.width < w || frame.height < h) return false;
    in.img.i_csp = X264_CSP_NV12;
    in.img.i_plane = 2;
    if (frame.pixelFormat == kPixelFormat420v) {
      for (int p = 0; p < 2; ++p) {
        in.img.plane[p] = frame.planes[p];
        in.img.i_stride[p] = frame.strides[p];
      }
      return true;
    }
    const size_t lumaBytes = size_t(w) * size_t(h);
    converted_.resize(lumaBytes * 3 / 2);
    libyuv::ARGBToNV12(frame.planes[0], frame.strides[0], converted_.data(), w, converted_.data() + lumaBytes, w, w, h);
    in.img.plane[0] = converted_.data();
    in.img.plane[1] = converted_.data() + lumaBytes;
    in.img.i_stride[0] = in.img.i_stride[1] = w;
    return true;
  }

  // Macroblocks wholly outside the picture's changes are marked constant. libx264 then codes
  // them as skipped without analysing them, where its own checks allow (its reference is the
  // previous picture, coded at least as finely); on a desktop most of a picture is such.
  void markUnchanged(const VideoFrame& frame, x264_picture_t& in) const {
    const int columns = ((settings_.width & ~1) + 15) / 16, rows = ((settings_.height & ~1) + 15) / 16;
    auto* info = static_cast<uint8_t*>(std::malloc(size_t(columns) * size_t(rows)));  // libx264 frees it
    if (!info) return;
    std::memset(info, X264_MBINFO_CONSTANT, size_t(columns) * size_t(rows));
    for (int i = 0; i < frame.changeCount; ++i) {
      const auto& a = frame.changes[static_cast<size_t>(i)];
      const int x0 = std::max(a.x, 0) / 16, y0 = std::max(a.y, 0) / 16;
      const int x1 = std::min((a.x + a.width + 15) / 16, columns), y1 = std::min((a.y + a.height + 15) / 16, rows);
      for (int y = y0; y < y1; ++y)
        if (x1 > x0) std::memset(info + size_t(y) * size_t(columns) + size_t(x0), 0, size_t(x1 - x0));
    }
    in.prop.mb_info = info;
    in.prop.mb_info_free = std::free;
  }

  void handleFrame(const x264_nal_t* nals, int count, const x264_picture_t& picture) {
    auto entry = finished(picture.i_pts, encodeError("picture dropped by the encoder"));
    if (!entry) return;
    EncodedFrame out;
    out.presentationTime = entry->presentationTime;
    bool idr = false;
    for (int i = 0; i < count; ++i) {
      const x264_nal_t& nal = nals[i];
      if (keepParameterSet(nal)) continue;
      switch (nal.i_type) {
        case NAL_AUD:
          break;
        case NAL_SLICE_IDR:
          idr = true;
          [[fallthrough]];
        default:
          out.lengthPrefixedNALs.insert(out.lengthPrefixedNALs.end(), nal.p_payload, nal.p_payload + nal.i_payload);
      }
    }
    out.notSync = !idr;
    if (idr) out.parameterSets = {sps_, pps_};
    deliver(entry->output, std::nullopt, &out);
  }

  void readHeaders() {
    x264_nal_t* nals = nullptr;
    int count = 0;
    if (x264_encoder_headers(encoder_.get(), &nals, &count) < 0) return;
    for (int i = 0; i < count; ++i) keepParameterSet(nals[i]);
  }

  // An SPS or PPS is kept for the keyframes to come, not sent in the frame's data.
  bool keepParameterSet(const x264_nal_t& nal) {
    if (nal.i_type != NAL_SPS && nal.i_type != NAL_PPS) return false;
    const auto unit = unitOf(nal);
    (nal.i_type == NAL_SPS ? sps_ : pps_).assign(unit.begin(), unit.end());
    return true;
  }

  // Encoder thread only (and the constructor).
  X264Ptr encoder_;
  const EncoderSettings settings_;
  const std::vector<X264Option> options_;
  std::optional<int64_t> lastPts_;  // of the picture libx264 took last (the proof's is 0)
  std::optional<double> lastTime_;  // its presentation time
  int budgetFrames_ = 1;            // frame intervals libx264's bit budget is set for
  bool idrNext_ = false;
  uint64_t lastSerial_ = 0;  // of the picture libx264 took last (0: none, or it failed)
  std::vector<uint8_t> sps_, pps_;
  std::vector<uint8_t> converted_;
};

// libx264 proves itself on one black picture of the configured size. Real-time settings
// hold nothing back, so its frame comes out at once.
bool encodesABlackPicture(x264_t* encoder, const EncoderSettings& s) {
  const int w = s.width & ~1, h = s.height & ~1;
  std::vector<uint8_t> black(size_t(w) * size_t(h) * 3 / 2, 128);
  std::memset(black.data(), 16, size_t(w) * size_t(h));
  x264_picture_t in, out;
  x264_picture_init(&in);
  in.img.i_csp = X264_CSP_NV12;
  in.img.i_plane = 2;
  in.img.plane[0] = black.data();
  in.img.plane[1] = black.data() + size_t(w) * size_t(h);
  in.img.i_stride[0] = in.img.i_stride[1] = w;
  in.i_pts = 0;
  x264_nal_t* nals = nullptr;
  int count = 0;
  return x264_encoder_encode(encoder, &nals, &count, &in, &out) > 0;
}

}  // namespace

std::variant<std::unique_ptr<VideoEncoder>, int32_t> openX264(const EncoderSettings& settings) {
  return openX264(settings, kScreenContentOptions);
}

std::variant<std::unique_ptr<VideoEncoder>, int32_t> openX264(const EncoderSettings& settings,
                                                              std::span<const X264Option> options) {
  // The encoder that proved itself is the one kept: a second one would double the time
  // START_VIDEO waits for and briefly the 40 MB an encoder holds at 1080p.
  X264Ptr encoder = openEncoder(settings, options);
  if (!encoder) return kRefused;
  if (!encodesABlackPicture(encoder.get(), settings)) return kFailed;
  return std::unique_ptr<VideoEncoder>(std::make_unique<X264VideoEncoder>(std::move(encoder), settings, options, 1));
}

}  // namespace qb::encode
