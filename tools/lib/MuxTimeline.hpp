#pragma once
// Places the frames of a recording on one clock, so that tracks muxed into one file line up.
// Times are microseconds on the helper's capture clock (CLOCK_MONOTONIC, which is also the
// clock arrival times are taken on).
//
// By the helper's timing lines (docs/protocol.md, "One clock for all media"): audio frame n
// of a channel lies at T + (n - N) * its duration, by the channel's last line at or before n
// (sequence N, capture time T); a video frame at T - P + pts, by its run's line (sequence N,
// pts P, capture time T).

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "ProtocolReader.hpp"

namespace qbtools {

// One frame as it arrived, and where its payload was stored.
struct ArrivedFrame {
  uint32_t sequence = 0;
  uint64_t offset = 0;  // of the payload in the track's file
  uint32_t size = 0;
  uint64_t pts = 0;  // video only
  bool keyframe = false;
};

// One frame on the shared clock.
struct PlacedFrame {
  uint64_t offset = 0;
  uint32_t size = 0;
  int64_t us = 0;
  int64_t durationUs = 0;
  bool keyframe = false;
};

struct AudioTiming {
  uint32_t sequence = 0;
  int64_t captureTimeUs = 0;
};

struct VideoTiming {
  uint32_t sequence = 0;
  uint64_t timestampUs = 0;
  int64_t captureTimeUs = 0;
};

// The timing line carried by an event line's body (the text after "EVENT:"); for audio with
// the frame type of its channel (1 microphone, 2 system audio). None for any other line.
std::optional<std::pair<uint8_t, AudioTiming>> parseAudioTiming(std::string_view eventBody);
std::optional<VideoTiming> parseVideoTiming(std::string_view eventBody);

// Audio of `bytesPerSecond` by its channel's lines, in the order they came. A frame before
// the first line is placed by it too. Frames may overlap by the little that the sample clock
// and the capture clock drift apart between lines (parts per million): each line places its
// frames afresh, so the drift never adds up; only a frame that would begin before the one
// before it is moved after it. Nothing without lines.
std::vector<PlacedFrame> placeAudio(const std::vector<ArrivedFrame>& frames, uint32_t bytesPerSecond,
                                    const std::vector<AudioTiming>& lines);

// Video at `fps` by its lines. Frames come in runs, one per START_VIDEO, each counting its
// sequence from 0 and each with its own lines, paired in order; a run without a line is left
// out, as are frames before the first keyframe, which nothing could decode.
std::vector<PlacedFrame> placeVideo(const std::vector<ArrivedFrame>& frames, uint8_t fps,
                                    const std::vector<VideoTiming>& lines);

// Shifts all tracks together so that the earliest frame of any starts at 0.
void startTogetherAtZero(const std::vector<std::vector<PlacedFrame>*>& tracks);

}  // namespace qbtools
