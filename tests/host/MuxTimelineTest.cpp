#include "MuxTimeline.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "MediaMuxer.hpp"
#include "WavWriter.hpp"
#include "sources/WavTestFiles.hpp"

using namespace qbtools;

namespace {

constexpr uint32_t kFrameBytes = 3840;               // 20 ms of 48 kHz stereo 16-bit
constexpr uint32_t kBytesPerSecond = 48000 * 2 * 2;  // 192000
}  // namespace

TEST(MuxTimeline, TimingLinesAreReadFromTheirEventsOnly) {
  auto audio = parseAudioTiming(R"(AUDIO_TIMING:{"channel":"system","sequence":4294967295,"captureTimeUs":12})");
  ASSERT_TRUE(audio);
  EXPECT_EQ(audio->first, 2);
  EXPECT_EQ(audio->second.sequence, 4294967295u);
  EXPECT_EQ(audio->second.captureTimeUs, 12);
  EXPECT_EQ(parseAudioTiming(R"(AUDIO_TIMING:{"channel":"mic","sequence":3,"captureTimeUs":5})")->first, 1);
  auto video = parseVideoTiming(R"(VIDEO_TIMING:{"sequence":0,"timestampUs":7,"captureTimeUs":9000000000})");
  ASSERT_TRUE(video);
  EXPECT_EQ(video->timestampUs, 7u);
  EXPECT_EQ(video->captureTimeUs, 9000000000);
  for (const char* other : {R"(AUDIO_TIMING:{"channel":"both","sequence":3,"captureTimeUs":5})",
                            R"(AUDIO_TIMING:{"channel":"mic","sequence":3})", R"(AUDIO_TIMING_X:{})",
                            R"(AUDIO_LOSS:{"channel":"mic","frames":2,"sequence":3})", "AUDIO_TIMING:{",
                            R"(VIDEO_TIMING:{"sequence":"0","timestampUs":7,"captureTimeUs":9})"}) {
    EXPECT_FALSE(parseAudioTiming(other)) << other;
    EXPECT_FALSE(parseVideoTiming(other)) << other;
  }
}

TEST(MuxTimeline, AudioLiesWhereItsChannelsLinesSay) {
  // Frames 0..4, 3 frames lost, 8..9; the lines came for 0 and for the first after the loss,
  // which a server restart also delayed by 1 s. Frames out of line order, a line's sequence
  // wrapping, and a frame before any line are placed by their lines all the same.
  struct Case {
    std::vector<uint32_t> sequences;
    std::vector<AudioTiming> lines;
    std::vector<int64_t> placedUs;
  };
  const Case cases[] = {
      {{0, 1, 2, 3, 4, 8, 9},
       {{0, 1000000}, {8, 2160000}},
       {1000000, 1020000, 1040000, 1060000, 1080000, 2160000, 2180000}},
      {{5, 6, 7}, {{7, 500000}}, {460000, 480000, 500000}},
      {{4294967294u, 4294967295u, 0, 1}, {{4294967294u, 0}, {0, 40000}}, {0, 20000, 40000, 60000}},
      // The sample clock ran fast against the capture clock: the line holds (a little overlap
      // rather than drift that adds up), and a line that would go back in time does not.
      {{0, 1, 2, 3}, {{0, 0}, {2, 39000}, {3, 30000}}, {0, 20000, 39000, 39001}},
  };
  for (const auto& c : cases) {
    std::vector<ArrivedFrame> frames;
    for (uint32_t s : c.sequences) frames.push_back({s, frames.size() * kFrameBytes, kFrameBytes});
    const auto placed = placeAudio(frames, kBytesPerSecond, c.lines);
    ASSERT_EQ(placed.size(), c.placedUs.size());
    for (size_t i = 0; i < placed.size(); ++i) {
      EXPECT_EQ(placed[i].us, c.placedUs[i]) << "frame " << c.sequences[i];
      EXPECT_EQ(placed[i].durationUs, 20000);
      EXPECT_EQ(placed[i].offset, i * kFrameBytes);
    }
  }
  EXPECT_TRUE(placeAudio({{0, 0, kFrameBytes}}, kBytesPerSecond, {}).empty()) << "no line, no place";
}

TEST(MuxTimeline, VideoLiesWhereItsRunsLinesSay) {
  std::vector<ArrivedFrame> frames;
  auto add = [&](uint32_t sequence, uint64_t pts, bool key) {
    frames.push_back({sequence, frames.size() * 1000, 1000, pts, key});
  };
  add(0, 0, false);  // undecodable without a keyframe first: left out
  add(1, 100000, true);
  add(2, 300000, false);
  // A new START_VIDEO: pts from 0 again, on its own line.
  add(0, 0, true);
  add(1, 100000, false);
  // A third run whose line never came: left out.
  add(0, 0, true);
  const std::vector<VideoTiming> lines = {{0, 0, 5000000}, {0, 0, 9000000}};

  const auto placed = placeVideo(frames, 10, lines);
  ASSERT_EQ(placed.size(), 4u);
  const int64_t expected[] = {5100000, 5300000, 9000000, 9100000};
  for (size_t i = 0; i < placed.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(placed[i].us, expected[i]);
    EXPECT_EQ(placed[i].offset, (i + 1) * 1000);
  }
  EXPECT_TRUE(placed[0].keyframe);
  EXPECT_FALSE(placed[1].keyframe);
  EXPECT_EQ(placed[0].durationUs, 200000) << "a still screen holds the picture until the next one";
  EXPECT_EQ(placed[3].durationUs, 100000) << "the last picture lasts one frame interval";

  // A sequence that wraps is no new run.
  const auto wrapped =
      placeVideo({{UINT32_MAX, 0, 10, 5000000, true}, {0, 10, 10, 5100000}}, 10, {{UINT32_MAX, 5000000, 7000000}});
  ASSERT_EQ(wrapped.size(), 2u);
  EXPECT_EQ(wrapped[1].us, 7100000);
}

TEST(MuxTimeline, TracksStartTogetherAtZeroKeepingTheirDistance) {
  std::vector<PlacedFrame> video = {{0, 1, 5000, 100, true}}, mic = {{0, 1, 4200, 20, true}}, none;
  startTogetherAtZero({&video, &mic, &none});
  EXPECT_EQ(mic[0].us, 0);
  EXPECT_EQ(video[0].us, 800);
}

TEST(MediaMuxer, RefusesWhatItCannotWriteBeforeAnythingIsRecordedAndLeavesNoFile) {
  const auto dir = std::filesystem::temp_directory_path() / ("qb-mux-test-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir / "taken.mkv");
  EXPECT_FALSE(muxOutputProblem((dir / "ok.mkv").string()));
  EXPECT_FALSE(muxOutputProblem((dir / "UPPER.MKV").string()));
  EXPECT_FALSE(std::filesystem::exists(dir / "ok.mkv")) << "the check left a file behind";
  const std::pair<const char*, const char*> refused[] = {{"a.mp4", "MP4 cannot hold"},
                                                         {"a.avi", "unsupported extension \".avi\""},
                                                         {"noextension", "no extension"},
                                                         {"taken.mkv", "is a directory"},
                                                         {"missing/a.mkv", "No such file or directory"}};
  for (const auto& [name, why] : refused) {
    SCOPED_TRACE(name);
    auto problem = muxOutputProblem((dir / name).string());
    ASSERT_TRUE(problem);
    EXPECT_NE(problem->find(why), std::string::npos) << *problem;
  }
  EXPECT_TRUE(writeMuxedFile((dir / "empty.mkv").string(), {}, {}).has_value()) << "nothing to write is an error";
  EXPECT_FALSE(std::filesystem::exists(dir / "empty.mkv"));
  std::filesystem::remove_all(dir);
}

// The recorder's WAV output, closed by its destructor, is the canonical file of what was appended.
TEST(WavWriter, HeaderCarriesTheFormatAndTheSizesOfWhatWasAppended) {
  const auto path = std::filesystem::temp_directory_path() / ("qb-wav-test-" + std::to_string(::getpid()) + ".wav");
  const std::vector<uint8_t> pcm(1234, 7);
  {
    WavWriter wav;
    ASSERT_TRUE(wav.open(path.string(), 44100, 1));
    wav.append(std::vector<uint8_t>(pcm.begin(), pcm.begin() + 1000));
    wav.append(std::vector<uint8_t>(pcm.begin() + 1000, pcm.end()));
  }
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(written, qb::testing::makeWav({.sampleRate = 44100, .channels = 1, .data = pcm}));
  std::filesystem::remove(path);
}
