#pragma once
// Splits a raw H.264 stream (Annex B) into its access units with FFmpeg's parser, and tells
// where each one ends in the stream: a unit counts as arrived once its last byte did, not when
// the parser gave it out (which waits for the start of the next unit).

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace qbbench {

struct AccessUnit {
  size_t begin = 0, end = 0;  // [begin, end) of the stream
  bool keyframe = false;
};

inline std::vector<AccessUnit> splitAccessUnits(std::span<const uint8_t> bytes) {
  std::vector<AccessUnit> units;
  AVCodecContext* ctx = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264));
  AVCodecParserContext* parser = av_parser_init(AV_CODEC_ID_H264);
  if (!ctx || !parser) {
    av_parser_close(parser);
    avcodec_free_context(&ctx);
    return units;
  }
  size_t offset = 0;
  for (bool flushed = false; !flushed;) {
    const size_t left = bytes.size() - offset;
    flushed = left == 0;  // a call without data hands out the last unit
    uint8_t* unit = nullptr;
    int unitSize = 0;
    const int used = av_parser_parse2(parser, ctx, &unit, &unitSize, left ? bytes.data() + offset : nullptr, int(left),
                                      AV_NOPTS_VALUE, AV_NOPTS_VALUE, int64_t(offset));
    offset += size_t(used > 0 ? used : 0);
    if (unitSize <= 0) {
      if (used <= 0 && !flushed) break;  // a parser that makes no progress would spin for ever
      continue;
    }
    // The unit ends where the parser stopped consuming; its bytes are the stream's own.
    const size_t size = size_t(unitSize);
    units.push_back({offset >= size ? offset - size : 0, offset, parser->key_frame == 1});
  }
  av_parser_close(parser);
  avcodec_free_context(&ctx);
  return units;
}

}  // namespace qbbench
