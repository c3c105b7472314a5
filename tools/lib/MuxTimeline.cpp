#include "MuxTimeline.hpp"

#include <algorithm>
#include <limits>
#include <optional>

namespace qbtools {

namespace {

int64_t arrivalUs(const ArrivedFrame& f) {
  return std::chrono::duration_cast<std::chrono::microseconds>(f.received.time_since_epoch()).count();
}

// Frames lost in a row beyond this are taken for a new start of the sequence, not a hole.
constexpr uint32_t kMaxHoleFrames = 50 * 600;

// Places one run of frames at `anchor` plus each frame's own time, but never before `notBefore`
// (none for the first run).
void placeRun(std::vector<PlacedFrame>& out, size_t from, int64_t anchor, std::optional<int64_t> notBefore) {
  if (from >= out.size()) return;
  const int64_t shift = notBefore ? std::max(anchor, *notBefore - out[from].us) : anchor;
  for (size_t i = from; i < out.size(); ++i) out[i].us += shift;
}

}  // namespace

std::vector<PlacedFrame> placeAudio(const std::vector<ArrivedFrame>& frames, uint32_t bytesPerSecond,
                                    int64_t resyncUs) {
  std::vector<PlacedFrame> out;
  if (bytesPerSecond == 0) return out;
  out.reserve(frames.size());
  const auto mediaUs = [&](uint64_t bytes) { return int64_t(bytes * 1000000 / bytesPerSecond); };
  uint64_t position = 0;  // bytes since the first frame, holes included
  size_t runStart = 0;
  int64_t anchor = std::numeric_limits<int64_t>::max();
  std::optional<int64_t> previousEnd;
  for (size_t i = 0; i < frames.size(); ++i) {
    const ArrivedFrame& f = frames[i];
    bool newRun = false;
    if (i > 0) {
      const uint32_t missing = f.sequence - (frames[i - 1].sequence + 1);  // wraps like the sequence
      if (missing > kMaxHoleFrames)
        newRun = true;
      else
        position += uint64_t(missing) * frames[i - 1].size;
    }
    // Where this frame says its run began, from when its last sample can have arrived.
    const int64_t begins = arrivalUs(f) - mediaUs(position + f.size);
    if (i > 0 && (newRun || begins > anchor + resyncUs)) {
      placeRun(out, runStart, anchor, previousEnd);
      previousEnd = out.back().us + out.back().durationUs;
      runStart = out.size();
      anchor = std::numeric_limits<int64_t>::max();
    }
    anchor = std::min(anchor, begins);
    out.push_back({f.offset, f.size, mediaUs(position), mediaUs(position + f.size) - mediaUs(position), true});
    position += f.size;
  }
  placeRun(out, runStart, anchor, previousEnd);
  return out;
}

std::vector<PlacedFrame> placeVideo(const std::vector<ArrivedFrame>& frames, uint8_t fps) {
  std::vector<PlacedFrame> out;
  out.reserve(frames.size());
  const int64_t frameUs = 1000000 / std::max<int64_t>(fps, 1);
  size_t runStart = 0;
  int64_t anchor = std::numeric_limits<int64_t>::max();
  std::optional<int64_t> previousEnd;
  const ArrivedFrame* previous = nullptr;
  for (const ArrivedFrame& f : frames) {
    if (out.empty() && !f.keyframe) continue;
    if (previous && (f.pts < previous->pts || (f.sequence == 0 && previous->sequence != UINT32_MAX))) {
      placeRun(out, runStart, anchor, previousEnd);
      previousEnd = out.back().us + frameUs;
      runStart = out.size();
      anchor = std::numeric_limits<int64_t>::max();
    }
    anchor = std::min(anchor, arrivalUs(f) - int64_t(f.pts));
    out.push_back({f.offset, f.size, int64_t(f.pts), 0, f.keyframe});
    previous = &f;
  }
  placeRun(out, runStart, anchor, previousEnd);
  for (size_t i = 0; i < out.size(); ++i)
    out[i].durationUs = i + 1 < out.size() ? std::max<int64_t>(out[i + 1].us - out[i].us, 1) : frameUs;
  return out;
}

void startTogetherAtZero(const std::vector<std::vector<PlacedFrame>*>& tracks) {
  int64_t first = std::numeric_limits<int64_t>::max();
  for (auto* t : tracks)
    if (!t->empty()) first = std::min(first, t->front().us);
  for (auto* t : tracks)
    for (auto& f : *t) f.us -= first;
}

}  // namespace qbtools
