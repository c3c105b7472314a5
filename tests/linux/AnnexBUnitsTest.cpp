// The benchmark's split of a raw H.264 stream into access units must end each unit exactly
// where the next begins (and the last at the end of the stream), also when the encoder cuts
// pictures into several slices, or its latency figures would be off by a frame.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "../../bench/AnnexBUnits.hpp"

extern "C" {
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

namespace qbbench {
namespace {

// `count` pictures of libx264 output as ffmpeg writes it: Annex B, parameter sets inline.
struct Encoded {
  std::vector<uint8_t> stream;
  std::vector<size_t> ends;  // where each picture's bytes end
  std::vector<bool> keyframes;
};

Encoded encode(int count, int slices) {
  Encoded out;
  av_log_set_level(AV_LOG_ERROR);  // the encoder's statistics are noise here
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) return out;
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  ctx->width = 320;
  ctx->height = 240;
  ctx->pix_fmt = AV_PIX_FMT_YUV420P;
  ctx->time_base = {1, 30};
  ctx->gop_size = 5;
  ctx->max_b_frames = 0;
  ctx->bit_rate = 500000;
  av_opt_set(ctx->priv_data, "preset", "veryfast", 0);
  av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
  av_opt_set(ctx->priv_data, "x264-params", ("slices=" + std::to_string(slices)).c_str(), 0);
  EXPECT_EQ(avcodec_open2(ctx, codec, nullptr), 0);
  AVFrame* frame = av_frame_alloc();
  frame->format = ctx->pix_fmt;
  frame->width = ctx->width;
  frame->height = ctx->height;
  av_frame_get_buffer(frame, 0);
  AVPacket* packet = av_packet_alloc();
  auto drain = [&] {
    while (avcodec_receive_packet(ctx, packet) == 0) {
      out.stream.insert(out.stream.end(), packet->data, packet->data + packet->size);
      out.ends.push_back(out.stream.size());
      out.keyframes.push_back(packet->flags & AV_PKT_FLAG_KEY);
      av_packet_unref(packet);
    }
  };
  for (int i = 0; i < count; ++i) {
    av_frame_make_writable(frame);
    for (int y = 0; y < ctx->height; ++y)  // a bar that moves: every picture differs
      for (int x = 0; x < ctx->width; ++x) frame->data[0][y * frame->linesize[0] + x] = uint8_t((x + i * 7) & 0xFF);
    for (int p = 1; p < 3; ++p)
      for (int y = 0; y < ctx->height / 2; ++y)
        for (int x = 0; x < ctx->width / 2; ++x) frame->data[p][y * frame->linesize[p] + x] = 128;
    frame->pts = i;
    avcodec_send_frame(ctx, frame);
    drain();
  }
  avcodec_send_frame(ctx, nullptr);
  drain();
  av_packet_free(&packet);
  av_frame_free(&frame);
  avcodec_free_context(&ctx);
  return out;
}

TEST(AnnexBUnits, EveryUnitEndsWhereItsPictureEnds) {
  for (int slices : {1, 4}) {
    const Encoded e = encode(12, slices);
    if (e.ends.empty()) GTEST_SKIP() << "no libx264 in this FFmpeg";
    const auto units = splitAccessUnits(e.stream);
    ASSERT_EQ(units.size(), e.ends.size()) << slices << " slices";
    size_t begin = 0;
    for (size_t i = 0; i < units.size(); ++i) {
      EXPECT_EQ(units[i].begin, begin) << "unit " << i << ", " << slices << " slices";
      EXPECT_EQ(units[i].end, e.ends[i]) << "unit " << i << ", " << slices << " slices";
      EXPECT_EQ(units[i].keyframe, e.keyframes[i]) << "unit " << i << ", " << slices << " slices";
      begin = e.ends[i];
    }
  }
}

TEST(AnnexBUnits, NothingOrGarbageGivesNoUnitsAndEnds) {
  EXPECT_TRUE(splitAccessUnits({}).empty());
  const std::vector<uint8_t> noise(1000, 0x5A);
  for (const auto& u : splitAccessUnits(noise)) EXPECT_LE(u.end, noise.size());
}

}  // namespace
}  // namespace qbbench
