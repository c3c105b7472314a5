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
