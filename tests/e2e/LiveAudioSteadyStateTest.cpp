// A minute of live streaming loses nothing: both channels arrive with contiguous sequence
// numbers, as many samples as the minute holds, and a tone whose phase never jumps.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <thread>

#include "e2e/support/LiveAudioFixture.hpp"

namespace qb::e2e {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// What one channel delivered, measured as frames arrive (payloads are not kept).
struct ChannelLog {
  double frequency = 0, amplitude = 0;
  std::vector<std::pair<Timestamp, uint32_t>> arrivals;  // received, sequence
  std::vector<uint8_t> previous;
  bool toneSeen = false;
  // Frames that differ from their predecessor once the tone is steady. Both tones have
  // a whole number of cycles per frame, so every frame repeats the previous one unless
  // samples were lost, added or damaged in between.
  std::vector<std::pair<Timestamp, uint32_t>> changed;
  size_t sequenceBreaks = 0;

  void add(const Frame& f) {
    if (!arrivals.empty() && f.sequence != arrivals.back().second + 1) ++sequenceBreaks;
    arrivals.emplace_back(f.received, f.sequence);
    const bool tone = std::abs(toneAmplitude(f, frequency) - amplitude) <= 0.05 * amplitude;
    if (toneSeen && !previous.empty() && maxSampleDifference(previous, f.payload) > 2)
      changed.emplace_back(f.received, f.sequence);
    toneSeen = toneSeen || tone;
    previous = f.payload;
  }

  static int maxSampleDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size()) return 1 << 16;
    int worst = 0;
    for (size_t i = 0; i + 1 < a.size(); i += 2) {
      int16_t x, y;
      std::memcpy(&x, a.data() + i, 2);
      std::memcpy(&y, b.data() + i, 2);
      worst = std::max(worst, std::abs(int(x) - int(y)));
    }
    return worst;
  }

  // First frame of the first burst that arrived at or after t (bursts come every 100 ms).
  size_t burstAtOrAfter(Timestamp t) const {
    for (size_t i = 1; i < arrivals.size(); ++i)
      if (arrivals[i].first >= t && arrivals[i].first - arrivals[i - 1].first > 40ms) return i;
    return arrivals.size();
  }
};

TEST_F(LiveAudioTest, AMinuteOfStreamingArrivesWhole) {
  constexpr double kSeconds = 60;
  // A larger playback buffer, so that the tone itself never underruns on a busy machine.
  TonePlayer speakers("speakers", 1000, 0.5, 200);
  TonePlayer mic("mic1", 600, 0.25, 200);

  std::mutex mutex;
  ChannelLog logs[2];
  logs[0].frequency = 600, logs[0].amplitude = 0.25;
  logs[1].frequency = 1000, logs[1].amplitude = 0.5;
  auto options = defaultOptions();
  options.keepFramePayloads = false;
  options.onFrame = [&](const Frame& f) {
    if (!f.isAudio() || (f.type != kMic && f.type != kSystem)) return;
    std::lock_guard lock(mutex);
    logs[f.type - 1].add(f);
  };
  ASSERT_NO_FATAL_FAILURE(startStreaming(options));
  auto toneOnBoth = [&] {
    std::lock_guard lock(mutex);
    return logs[0].toneSeen && logs[1].toneSeen;
  };
  for (auto deadline = Clock::now() + 5s; !toneOnBoth() && Clock::now() < deadline;) std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(toneOnBoth()) << "the tones did not arrive";

  auto from = Clock::now() + 500ms;
  std::this_thread::sleep_for(std::chrono::duration<double>(kSeconds) + 1s);
  auto to = from + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kSeconds));
  ASSERT_TRUE(speakers.running() && mic.running()) << "a tone player ended early";
  ASSERT_NO_FATAL_FAILURE(stopCleanly());

  std::lock_guard lock(mutex);
  for (int c = 0; c < 2; ++c) {
    const ChannelLog& log = logs[c];
    SCOPED_TRACE(c == 0 ? "mic" : "system");
    EXPECT_EQ(log.sequenceBreaks, 0u);
    ASSERT_FALSE(log.arrivals.empty());
    EXPECT_EQ(log.arrivals.front().second, 0u);
    // Between the starts of two bursts, the frames sent are the audio that passed in that
    // time: 960 samples per frame, within one tick (5 frames).
    size_t a = log.burstAtOrAfter(from), b = log.burstAtOrAfter(to);
    ASSERT_LT(b, log.arrivals.size());
    const double elapsed = secondsBetween(log.arrivals[a].first, log.arrivals[b].first);
    const double frames = double(log.arrivals[b].second - log.arrivals[a].second);
    std::printf("%s: %.0f samples in %.3f s (expected %.0f)\n", c == 0 ? "mic" : "system", frames * 960, elapsed,
                elapsed * 48000);
    EXPECT_NEAR(frames * 960, elapsed * 48000, 5 * 960);
    std::vector<uint32_t> broken;
    for (auto [when, sequence] : log.changed)
      if (when >= log.arrivals[a].first) broken.push_back(sequence);
    EXPECT_TRUE(broken.empty()) << broken.size() << " frames broke the tone, the first is frame " << broken.front();
  }
}

}  // namespace
}  // namespace qb::e2e
