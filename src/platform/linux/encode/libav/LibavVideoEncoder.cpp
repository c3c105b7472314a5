#include "platform/linux/encode/libav/LibavVideoEncoder.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/hwcontext.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}
#include <libyuv/convert_from_argb.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/linux/encode/HardwareDevices.hpp"
#include "platform/linux/encode/NalUnits.hpp"
#include "platform/linux/encode/ThreadedVideoEncoder.hpp"
#include "platform/linux/encode/X264VideoEncoder.hpp"

namespace qb::encode {

namespace {

struct CodecContextFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct BufferUnref {
  void operator()(AVBufferRef* b) const { av_buffer_unref(&b); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using BufferPtr = std::unique_ptr<AVBufferRef, BufferUnref>;

std::string errorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

int32_t negativeStatus(int code) { return code < 0 ? code : AVERROR_UNKNOWN; }

PlatformError encodeError(int code, const std::string& what) {
  return PlatformError{negativeStatus(code), "H264Encoder", what + ": " + errorText(code)};
}

struct Candidate {
  std::string codec;
  std::string device;  // VAAPI render node
};

std::vector<Candidate> candidates(bool softwareOnly) {
  if (softwareOnly) return {{"libx264", ""}};
  std::vector<Candidate> list;
  if (auto node = vaapiRenderNode()) list.push_back({"h264_vaapi", *node});
  if (nvencDevicePresent()) list.push_back({"h264_nvenc", ""});
  return list;
}

// An open codec with what feeding it needs. Used on one thread at a time.
struct Codec {
  std::string name;
  CodecContextPtr context;
  BufferPtr hwFrames;  // VAAPI: the pool of hardware pictures uploads go to
  int width = 0;       // even
  int height = 0;
  FramePtr converted;  // NV12 made from 'BGRA' pictures
  int64_t nextPts = 0;

  // The AVFrame for a pooled picture. '420v' is referenced where it lies; the frame holds a
  // copy of the VideoFrame until libavcodec lets go of it.
  int wrap(const VideoFrame& picture, FramePtr& out) {
    FramePtr f(av_frame_alloc());
    if (!f) return AVERROR(ENOMEM);
    if (picture.pixelFormat == kPixelFormat420v) {
      f->format = AV_PIX_FMT_NV12;
      f->width = width;
      f->height = height;
      for (int p = 0; p < 2; ++p) {
        f->data[p] = picture.planes[p];
        f->linesize[p] = picture.strides[p];
      }
      auto held = std::make_unique<VideoFrame>(picture);
      f->buf[0] = av_buffer_create(
          picture.planes[0], size_t(picture.strides[0]) * size_t(picture.height),
          [](void* opaque, uint8_t*) { std::unique_ptr<VideoFrame>(static_cast<VideoFrame*>(opaque)); }, held.get(),
          AV_BUFFER_FLAG_READONLY);
      if (!f->buf[0]) return AVERROR(ENOMEM);
      held.release();  // now owned by the buffer
    } else {
      if (!converted) {
        converted.reset(av_frame_alloc());
        if (!converted) return AVERROR(ENOMEM);
        converted->format = AV_PIX_FMT_NV12;
        converted->width = width;
        converted->height = height;
        if (int r = av_frame_get_buffer(converted.get(), 64); r < 0) return r;
      }
      if (int r = av_frame_make_writable(converted.get()); r < 0) return r;
      libyuv::ARGBToNV12(picture.planes[0], picture.strides[0], converted->data[0], converted->linesize[0],
                         converted->data[1], converted->linesize[1], width, height);
      if (int r = av_frame_ref(f.get(), converted.get()); r < 0) return r;
    }
    if (hwFrames) {
      FramePtr hw(av_frame_alloc());
      if (!hw) return AVERROR(ENOMEM);
      if (int r = av_hwframe_get_buffer(hwFrames.get(), hw.get(), 0); r < 0) return r;
      if (int r = av_hwframe_transfer_data(hw.get(), f.get(), 0); r < 0) return r;
      f = std::move(hw);
    }
    out = std::move(f);
    return 0;
  }
};

int openCodec(const Candidate& candidate, const EncoderSettings& s, Codec& out) {
  const AVCodec* codec = avcodec_find_encoder_by_name(candidate.codec.c_str());
  if (!codec) return AVERROR_ENCODER_NOT_FOUND;
  Codec c;
  c.name = candidate.codec;
  c.width = s.width & ~1;
  c.height = s.height & ~1;
  c.context.reset(avcodec_alloc_context3(codec));
  AVCodecContext* ctx = c.context.get();
  if (!ctx) return AVERROR(ENOMEM);
  ctx->width = c.width;
  ctx->height = c.height;
  ctx->time_base = AVRational{1, s.fps};
  ctx->framerate = AVRational{s.fps, 1};
  ctx->pix_fmt = AV_PIX_FMT_NV12;
  ctx->profile = FF_PROFILE_H264_MAIN;
  ctx->gop_size = s.fps;
  ctx->max_b_frames = 0;
  ctx->bit_rate = s.bitrate;
  ctx->rc_max_rate = s.bitrate;
  ctx->rc_buffer_size = static_cast<int>(std::min<int64_t>(s.bitrate, INT32_MAX));
  // What libyuv's ARGBToNV12 writes: BT.601 matrix, video range; the content is sRGB.
  ctx->colorspace = AVCOL_SPC_SMPTE170M;
  ctx->color_range = AVCOL_RANGE_MPEG;
  ctx->color_primaries = AVCOL_PRI_BT709;
  ctx->color_trc = AVCOL_TRC_IEC61966_2_1;
  // SPS and PPS once in extradata instead of in every keyframe's packet.
  ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

  AVDictionary* options = nullptr;
  if (c.name == "libx264") {
    av_dict_set(&options, "preset", kX264Preset, 0);
    ctx->thread_count = x264ThreadCount(s, static_cast<int>(std::thread::hardware_concurrency()));
    ctx->thread_type = FF_THREAD_SLICE;  // frame threads would hold frames back
    av_dict_set(&options, "tune", "zerolatency", 0);
    av_dict_set(&options, "forced-idr", "1", 0);
    // Length-prefixed units, the form the output takes, so packets need no start-code scan.
    av_dict_set(&options, "x264-params", "annexb=0", 0);
  } else if (c.name == "h264_nvenc") {
    av_dict_set(&options, "preset", "p2", 0);
    av_dict_set(&options, "tune", "ll", 0);
    av_dict_set(&options, "zerolatency", "1", 0);
    av_dict_set(&options, "forced-idr", "1", 0);
  } else if (c.name == "h264_vaapi") {
    AVBufferRef* device = nullptr;
    if (int r = av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, candidate.device.c_str(), nullptr, 0); r < 0)
      return r;
    BufferPtr deviceRef(device);
    c.hwFrames.reset(av_hwframe_ctx_alloc(device));
    if (!c.hwFrames) return AVERROR(ENOMEM);
    auto* frames = reinterpret_cast<AVHWFramesContext*>(c.hwFrames->data);
    frames->format = AV_PIX_FMT_VAAPI;
    frames->sw_format = AV_PIX_FMT_NV12;
    frames->width = c.width;
    frames->height = c.height;
    frames->initial_pool_size = 8;
    if (int r = av_hwframe_ctx_init(c.hwFrames.get()); r < 0) return r;
    ctx->pix_fmt = AV_PIX_FMT_VAAPI;
    ctx->hw_frames_ctx = av_buffer_ref(c.hwFrames.get());
    av_dict_set(&options, "async_depth", "1", 0);
  }
  const int r = avcodec_open2(ctx, codec, &options);
  av_dict_free(&options);
  if (r < 0) return r;
  out = std::move(c);
  return 0;
}

// Opens the candidate and has it encode one black picture of the configured size: many
// hardware encoders open fine and fail on the first frame (session limits, sizes).
int probe(const Candidate& candidate, const EncoderSettings& s) {
  Codec c;
  if (int r = openCodec(candidate, s, c); r < 0) return r;
  const int w = c.width, h = c.height;
  const int strideY = (w + 63) & ~63;
  auto memory = std::make_shared<std::vector<uint8_t>>(size_t(strideY) * size_t(h) * 3 / 2 + 64, 0);
  std::memset(memory->data(), 16, size_t(strideY) * size_t(h));
  std::memset(memory->data() + size_t(strideY) * size_t(h), 128, memory->size() - size_t(strideY) * size_t(h));
  VideoFrame black;
  black.width = w;
  black.height = h;
  black.pixelFormat = kPixelFormat420v;
  black.planes[0] = memory->data();
  black.planes[1] = memory->data() + size_t(strideY) * size_t(h);
  black.strides[0] = black.strides[1] = strideY;
  black.owner = memory;
  FramePtr frame;
  if (int r = c.wrap(black, frame); r < 0) return r;
  frame->pts = 0;
  if (int r = avcodec_send_frame(c.context.get(), frame.get()); r < 0) return r;
  if (int r = avcodec_send_frame(c.context.get(), nullptr); r < 0) return r;
  PacketPtr packet(av_packet_alloc());
  if (!packet) return AVERROR(ENOMEM);
  int got = 0, r = 0;
  while ((r = avcodec_receive_packet(c.context.get(), packet.get())) == 0) {
    got += packet->size > 0;
    av_packet_unref(packet.get());
  }
  if (r != AVERROR_EOF) return r;
  return got > 0 ? 0 : AVERROR_UNKNOWN;
}

class LibavVideoEncoder final : public ThreadedVideoEncoder {
 public:
  LibavVideoEncoder(Codec codec, const EncoderSettings& settings, Candidate candidate)
      : codec_(std::move(codec)), settings_(settings), candidate_(std::move(candidate)), packet_(av_packet_alloc()) {
    readParameterSets();
    startThread();
  }
  ~LibavVideoEncoder() override { stopThread(); }

 private:
  void encodeOne(VideoFrame picture, bool forceKeyframe, Output output) override {
    if (!packet_) return deliver(output, encodeError(AVERROR(ENOMEM), "packet"));
    if (!codec_.context) {
      // Drained by completeFrames: a codec that was told the stream ended takes no more
      // pictures, so a fresh one continues (its first picture is an IDR).
      if (int r = openCodec(candidate_, settings_, codec_); r < 0) return deliver(output, encodeError(r, "reopen"));
      readParameterSets();
    }
    FramePtr frame;
    if (int r = codec_.wrap(picture, frame); r < 0) return deliver(output, encodeError(r, "picture"));
    const double presentationTime = picture.presentationTime;
    picture = {};  // the AVFrame holds the picture as long as libavcodec needs it
    frame->pts = codec_.nextPts++;
    frame->pict_type = forceKeyframe ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    track(frame->pts, presentationTime, std::move(output));
    if (int r = avcodec_send_frame(codec_.context.get(), frame.get()); r < 0) return failLast(encodeError(r, "encode"));
    frame.reset();
    receive();
  }

  void receive() {
    AVPacket* packet = packet_.get();
    int r;
    while ((r = avcodec_receive_packet(codec_.context.get(), packet)) == 0) {
      handlePacket(*packet);
      av_packet_unref(packet);
    }
    if (r != AVERROR(EAGAIN) && r != AVERROR_EOF) failInFlight(encodeError(r, "encode"));
  }

  // Everything still inside the codec comes out; the codec is then done.
  void drain() override {
    if (!codec_.context || !anyInFlight()) return;
    if (avcodec_send_frame(codec_.context.get(), nullptr) >= 0) receive();
    failInFlight(encodeError(AVERROR_EOF, "encode"));
    codec_.context.reset();
    codec_.hwFrames.reset();
    codec_.converted.reset();
    codec_.nextPts = 0;
  }

  void handlePacket(const AVPacket& packet) {
    auto entry = finished(packet.pts, encodeError(AVERROR_UNKNOWN, "picture dropped by the encoder"));
    if (!entry) return;
    EncodedFrame out;
    out.presentationTime = entry->presentationTime;
    out.lengthPrefixedNALs.reserve(size_t(packet.size));
    bool idr = false;
    for (auto nal : splitNalUnits({packet.data, size_t(packet.size)})) {
      switch (nalType(nal)) {
        case kNalSps:
          sps_.assign(nal.begin(), nal.end());
          break;
        case kNalPps:
          pps_.assign(nal.begin(), nal.end());
          break;
        case kNalAud:
          break;
        case kNalIdr:
          idr = true;
          [[fallthrough]];
        default:
          appendLengthPrefixed(out.lengthPrefixedNALs, nal);
      }
    }
    out.notSync = !idr;
    if (idr) out.parameterSets = {sps_, pps_};
    deliver(entry->output, std::nullopt, &out);
  }

  void readParameterSets() {
    const AVCodecContext* ctx = codec_.context.get();
    if (!ctx || !ctx->extradata) return;
    for (auto nal : splitNalUnits({ctx->extradata, size_t(ctx->extradata_size)})) {
      if (nalType(nal) == kNalSps) sps_.assign(nal.begin(), nal.end());
      if (nalType(nal) == kNalPps) pps_.assign(nal.begin(), nal.end());
    }
  }

  // Worker thread only.
  Codec codec_;
  const EncoderSettings settings_;
  const Candidate candidate_;
  std::vector<uint8_t> sps_, pps_;
  PacketPtr packet_;
};

}  // namespace

}  // namespace qb::encode

extern "C" __attribute__((visibility("default"))) void qbLibavOpen(const qb::EncoderSettings& settings,
                                                                   bool softwareOnly,
                                                                   qb::encode::LibavOpenResult& result) {
  using namespace qb::encode;
  // libavcodec and x264 talk on stderr, which is the host's text channel.
  static std::once_flag quiet;
  std::call_once(quiet, [] { av_log_set_level(AV_LOG_QUIET); });
  result = {};
  result.status = AVERROR_ENCODER_NOT_FOUND;
  for (const auto& candidate : candidates(softwareOnly)) {
    int r = probe(candidate, settings);
    Codec codec;
    if (r >= 0) r = openCodec(candidate, settings, codec);
    if (r < 0) {
      result.status = negativeStatus(r);
      result.refused += ", " + candidate.codec + " unusable (" + errorText(r) + ")";
      continue;
    }
    result.codec = candidate.codec;
    result.encoder = std::make_unique<LibavVideoEncoder>(std::move(codec), settings, candidate);
    return;
  }
}
