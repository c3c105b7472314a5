#pragma once
// Places the frames of a recording on one clock, so that tracks muxed into one file line up.
//
// Audio frames carry no time of their own: within a run of frames they sit back to back by
// their sample counts, a gap in the sequence leaves a hole of the missing frames, and the run
// is anchored where its least delayed frame says it began (frames arrive in batches, so the
// first arrival says little). Video frames carry pts from the helper's own clock, anchored the
// same way on the frames' arrival. Everything is in microseconds from the first frame of any
// track.

#include <cstdint>
#include <vector>

#include "ProtocolReader.hpp"

namespace qbtools {

// One frame as it arrived, and where its payload was stored.
struct ArrivedFrame {
  Timestamp received{};
  uint32_t sequence = 0;
  uint64_t offset = 0;  // of the payload in the track's file
  uint32_t size = 0;
  uint64_t pts = 0;  // video only: microseconds on the helper's clock
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

// Audio of `bytesPerSecond`. A run ends where frames arrive more than `resyncUs` later than
// their sample count allows (the capture paused or restarted) or where the sequence starts
// anew; the next run is anchored afresh, never overlapping the one before.
std::vector<PlacedFrame> placeAudio(const std::vector<ArrivedFrame>& frames, uint32_t bytesPerSecond,
                                    int64_t resyncUs = 300000);

// Video at `fps`. A run ends where pts or the sequence start again (a new capture); frames
// before the first keyframe are left out, as nothing could decode them.
std::vector<PlacedFrame> placeVideo(const std::vector<ArrivedFrame>& frames, uint8_t fps);

// Shifts all tracks together so that the earliest frame of any starts at 0.
void startTogetherAtZero(const std::vector<std::vector<PlacedFrame>*>& tracks);

}  // namespace qbtools
