#pragma once
// Capture-to-output latency from what a reader of a video stream saw: when each read of the
// stream returned, which frame ended in which read, and which counter each decoded frame shows.
// No FFmpeg in here, so the unit tests can check the bookkeeping.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace qbbench {

// One read of the stream: it delivered the bytes up to `endOffset` (exclusive) at `seconds`.
struct ReadMark {
  uint64_t endOffset = 0;
  double seconds = 0;
};

// When the byte just before `endOffset` arrived: the time of the first read that reached it.
// A frame counts as arrived when its last byte did. None for an offset no read reached.
inline std::optional<double> arrivalOf(const std::vector<ReadMark>& reads, uint64_t endOffset) {
  auto it = std::lower_bound(reads.begin(), reads.end(), endOffset,
                             [](const ReadMark& r, uint64_t end) { return r.endOffset < end; });
  if (it == reads.end()) return std::nullopt;
  return it->seconds;
}

// A decoded frame: the counter it shows (none when unreadable) and when it arrived.
struct ShownFrame {
  std::optional<uint16_t> counter;
  double arrival = 0;
  // When it was grabbed, in seconds on the stream's own clock (the helper's pts); the origin of
  // that clock is not known here.
  std::optional<double> grabbed;
};

// A paint of the test window: counter value and the time just before it was sent.
struct Paint {
  uint16_t counter = 0;
  double seconds = 0;
};

struct LatencyResult {
  std::vector<double> latencies;  // seconds, one per paint that was seen, in paint order
  int missed = 0;                 // paints in the window that no frame ever showed
  // (paint, frame) indices behind each latency
  std::vector<std::pair<size_t, size_t>> matches;
};

// For each paint made while the stream ran, the delay until the first frame (in arrival order)
// that shows its counter. Paints before the first frame or in the last `tailSeconds` before the
// last one are left out: the capture did not run yet, or the run ended before it could show
// them. A frame only counts if it arrived after the paint, so a counter value seen again after
// the 16-bit counter wrapped is not taken for an earlier paint.
inline LatencyResult matchPaints(const std::vector<Paint>& paints, const std::vector<ShownFrame>& frames,
                                 double tailSeconds = 0.5) {
  LatencyResult result;
  if (frames.empty()) return result;
  const double first = frames.front().arrival, last = frames.back().arrival;
  for (const Paint& p : paints) {
    if (p.seconds < first || p.seconds > last - tailSeconds) continue;
    auto seen = std::find_if(frames.begin(), frames.end(), [&](const ShownFrame& f) {
      return f.arrival >= p.seconds && f.counter && *f.counter == p.counter;
    });
    if (seen == frames.end()) {
      ++result.missed;
    } else {
      result.latencies.push_back(seen->arrival - p.seconds);
      result.matches.push_back({size_t(&p - paints.data()), size_t(seen - frames.begin())});
    }
  }
  return result;
}

// Each latency cut at the grab: paint to grab, and grab to the frame's arrival. The grab clock's
// origin is placed where the quickest paint-to-grab of the run takes no time, so paint to grab
// is a lower bound and grab to output an upper bound (off by at most that quickest delay).
// None unless every matched frame has a grab time.
struct LatencySplit {
  std::vector<double> toGrab, grabToOutput;
};
inline std::optional<LatencySplit> splitAtGrab(const std::vector<Paint>& paints, const std::vector<ShownFrame>& frames,
                                               const LatencyResult& result) {
  if (result.matches.empty()) return std::nullopt;
  double origin = -1e300;
  for (const auto& [paint, frame] : result.matches) {
    if (!frames[frame].grabbed) return std::nullopt;
    origin = std::max(origin, paints[paint].seconds - *frames[frame].grabbed);
  }
  LatencySplit split;
  for (const auto& [paint, frame] : result.matches) {
    const double grab = origin + *frames[frame].grabbed;
    split.toGrab.push_back(grab - paints[paint].seconds);
    split.grabToOutput.push_back(frames[frame].arrival - grab);
  }
  return split;
}

// The q-quantile (0...1) by the nearest-rank method; 0 for no values.
inline double quantile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t rank = size_t(std::max(1.0, std::ceil(q * double(values.size()))));
  return values[std::min(rank, values.size()) - 1];
}

}  // namespace qbbench
