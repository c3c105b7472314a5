#include "MuxTimeline.hpp"

#include <algorithm>
#include <limits>
#include <nlohmann/json.hpp>

namespace qbtools {

namespace {

using Json = nlohmann::json;

std::optional<Json> eventObject(std::string_view body, std::string_view name) {
  if (!body.starts_with(name) || body.size() <= name.size() || body[name.size()] != ':') return std::nullopt;
  auto json = Json::parse(body.substr(name.size() + 1), nullptr, false);
  if (!json.is_object()) return std::nullopt;
  return json;
}

template <class T>
bool read(const Json& object, const char* key, T& out) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_number_integer()) return false;
  out = it->get<T>();
  return true;
}

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

// Sequence numbers wrap at 2^32; counted on from the first, each step taken the short way.
class Unwrapped {
 public:
  int64_t operator()(uint32_t sequence) {
    value_ = previous_ ? value_ + int32_t(sequence - *previous_) : int64_t(sequence);
    previous_ = sequence;
    return value_;
  }

 private:
  std::optional<uint32_t> previous_;
  int64_t value_ = 0;
};

}  // namespace

std::optional<std::pair<uint8_t, AudioTiming>> parseAudioTiming(std::string_view eventBody) {
  auto json = eventObject(eventBody, "AUDIO_TIMING");
  if (!json) return std::nullopt;
  AudioTiming t;
  auto channel = json->find("channel");
  if (channel == json->end() || !read(*json, "sequence", t.sequence) || !read(*json, "captureTimeUs", t.captureTimeUs))
    return std::nullopt;
  if (*channel == "mic") return std::pair<uint8_t, AudioTiming>{1, t};
  if (*channel == "system") return std::pair<uint8_t, AudioTiming>{2, t};
  return std::nullopt;
}

std::optional<VideoTiming> parseVideoTiming(std::string_view eventBody) {
  auto json = eventObject(eventBody, "VIDEO_TIMING");
  VideoTiming t;
  if (!json || !read(*json, "sequence", t.sequence) || !read(*json, "timestampUs", t.timestampUs) ||
      !read(*json, "captureTimeUs", t.captureTimeUs))
    return std::nullopt;
  return t;
}

std::vector<PlacedFrame> placeAudioByArrival(const std::vector<ArrivedFrame>& frames, uint32_t bytesPerSecond,
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

std::vector<PlacedFrame> placeAudio(const std::vector<ArrivedFrame>& frames, uint32_t bytesPerSecond,
                                    const std::vector<AudioTiming>& lines) {
  std::vector<PlacedFrame> out;
  if (lines.empty() || bytesPerSecond == 0) return out;
  // Lines and frames both count from the channel's first frame, so both unwrap alike.
  std::vector<std::pair<int64_t, int64_t>> anchors;  // unwrapped sequence, capture time
  Unwrapped lineSequence;
  for (const auto& l : lines) anchors.emplace_back(lineSequence(l.sequence), l.captureTimeUs);
  std::stable_sort(anchors.begin(), anchors.end(), [](auto& a, auto& b) { return a.first < b.first; });
  out.reserve(frames.size());
  Unwrapped frameSequence;
  std::optional<int64_t> previousStart;
  for (const ArrivedFrame& f : frames) {
    const int64_t n = frameSequence(f.sequence);
    auto after = std::upper_bound(anchors.begin(), anchors.end(), n, [](int64_t v, auto& a) { return v < a.first; });
    const auto& [sequence, captureTime] = after == anchors.begin() ? anchors.front() : *(after - 1);
    const int64_t duration = int64_t(f.size) * 1000000 / bytesPerSecond;
    int64_t us = captureTime + (n - sequence) * duration;
    if (previousStart) us = std::max(us, *previousStart + 1);
    out.push_back({f.offset, f.size, us, duration, true});
    previousStart = us;
  }
  return out;
}

std::vector<PlacedFrame> placeVideo(const std::vector<ArrivedFrame>& frames, uint8_t fps,
                                    const std::vector<VideoTiming>& lines) {
  // Runs of lines: a line that does not count on from the one before begins the next run.
  std::vector<std::vector<VideoTiming>> lineRuns;
  for (const auto& l : lines) {
    if (lineRuns.empty() || l.sequence <= lineRuns.back().back().sequence) lineRuns.emplace_back();
    lineRuns.back().push_back(l);
  }
  std::vector<PlacedFrame> out;
  out.reserve(frames.size());
  size_t run = 0;
  const ArrivedFrame* previous = nullptr;
  for (const ArrivedFrame& f : frames) {
    if (previous && (f.pts < previous->pts || (f.sequence == 0 && previous->sequence != UINT32_MAX))) ++run;
    previous = &f;
    if (run >= lineRuns.size() || (out.empty() && !f.keyframe)) continue;
    const auto& runLines = lineRuns[run];
    auto line = std::find_if(runLines.rbegin(), runLines.rend(), [&](auto& l) { return l.sequence <= f.sequence; });
    const VideoTiming& t = line == runLines.rend() ? runLines.front() : *line;
    int64_t us = t.captureTimeUs - int64_t(t.timestampUs) + int64_t(f.pts);
    if (!out.empty()) us = std::max(us, out.back().us + 1);
    out.push_back({f.offset, f.size, us, 0, f.keyframe});
  }
  const int64_t frameUs = 1000000 / std::max<int64_t>(fps, 1);
  for (size_t i = 0; i < out.size(); ++i) out[i].durationUs = i + 1 < out.size() ? out[i + 1].us - out[i].us : frameUs;
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
