#pragma once
// libavcodec's H.264 encoders, in a module of their own (quellbrook-libav.so) that the helper
// loads only when a hardware encoder is worth trying: libavcodec and the libraries it pulls in
// cost about 14 MB resident, which a machine without a GPU would pay for nothing.
//
// Candidates, in order: VAAPI on the first render node, NVENC; each counts only when it opens
// and encodes a black picture of the configured size (many open fine and fail on the first
// frame: session limits, sizes). With `softwareOnly` the one candidate is libx264 through
// libavcodec (tests of this adapter on machines without hardware).
//
// The encoders follow the VideoEncoder contract and the same settings as the direct libx264
// one: Main profile, no B-frames, IDR every `fps` frames and on request, average bit rate with
// a one-second VBV buffer, BT.601 video range signalled; Annex B output is turned into
// length-prefixed units.

#include <memory>
#include <string>

#include "platform/VideoEncoder.hpp"

namespace qb::encode {

struct LibavOpenResult {
  std::unique_ptr<VideoEncoder> encoder;  // null when no candidate worked
  std::string codec;                      // the chosen one ("h264_vaapi", ...)
  std::string refused;                    // ", <codec> unusable (<reason>)" for each refused one
  int32_t status = 0;                     // the last candidate's AVERROR code when none worked
};

// The module's one entry point, looked up by name. Called from the command thread with
// settings the caller has checked. The encoder's code lives in the module: it stays loaded.
using LibavOpenFunction = void (*)(const EncoderSettings& settings, bool softwareOnly, LibavOpenResult& result);
inline constexpr const char* kLibavOpenSymbol = "qbLibavOpen";
inline constexpr const char* kLibavModuleFile = "quellbrook-libav.so";

}  // namespace qb::encode
