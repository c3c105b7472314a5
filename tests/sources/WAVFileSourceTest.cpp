#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tuple>

#include <sys/stat.h>
#include <unistd.h>

#include "audio/AudioTestSupport.hpp"
#include "runtime/ManualExecutor.hpp"
#include "sources/WAVFileSource.hpp"
#include "sources/WavFile.hpp"
#include "sources/WavParser.hpp"
#include "sources/WavTestFiles.hpp"

namespace qb {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::makeWav;
using testing::OutputRecorder;
using testing::WavSpec;
using Type = AudioProtocol::FrameType;

std::string parseError(const std::vector<uint8_t>& bytes) {
  auto r = parseWav(bytes);
  return std::holds_alternative<WAVError>(r) ? std::get<WAVError>(r).description() : "ok";
}

TEST(WavParser, RefusesWithTheExactTexts) {
  auto canonical = makeWav({.data = std::vector<uint8_t>(3840)});
  EXPECT_EQ(parseError(canonical), "ok");
  EXPECT_EQ(parseError(std::vector<uint8_t>(canonical.begin(), canonical.begin() + 44)),
            "WAV file too short (< 44 bytes)");

  auto bad = canonical;
  bad[0] = 'X';
  bad[8] = 'X';
  EXPECT_EQ(parseError(bad), "Invalid RIFF header");
  bad[0] = 'R';
  EXPECT_EQ(parseError(bad), "Invalid WAVE format");

  // Files that parse but that the helper cannot play are refused, not played as silence.
  const std::vector<uint8_t> second(192000);
  const struct {
    WavSpec spec;
    std::string error;
  } cases[] = {
      {{.bitsPerSample = 32, .formatTag = 3, .data = second}, "Unsupported audio format: 3 (only PCM=1 supported)"},
      {{.bitsPerSample = 8, .data = second}, "Unsupported bit depth: 8 (only 16-bit supported)"},
      {{.bitsPerSample = 24, .data = second}, "Unsupported bit depth: 24 (only 16-bit supported)"},
      {{.sampleRate = 0, .data = second}, "Unsupported sample rate: 0 Hz (1000 to 768000 Hz supported)"},
      {{.sampleRate = 101, .data = second}, "Unsupported sample rate: 101 Hz (1000 to 768000 Hz supported)"},
      {{.sampleRate = 999, .data = second}, "Unsupported sample rate: 999 Hz (1000 to 768000 Hz supported)"},
      {{.sampleRate = 768001, .data = second}, "Unsupported sample rate: 768001 Hz (1000 to 768000 Hz supported)"},
      {{.sampleRate = 1000, .data = second}, "ok"},
      {{.channels = 0, .data = second}, "Unsupported channel count: 0 (1 to 64 supported)"},
      {{.channels = 65, .data = second}, "Unsupported channel count: 65 (1 to 64 supported)"},
      {{.channels = 65535, .data = second}, "Unsupported channel count: 65535 (1 to 64 supported)"},
      {{.channels = 64, .data = std::vector<uint8_t>(64 * 960 * 2)}, "ok"},
      {{.data = std::vector<uint8_t>(2)}, "WAV file too short: 2 bytes of audio, less than one 20 ms block"},
      // 11025 Hz takes 220 or 221 sample frames a period: every one must fit.
      {{.sampleRate = 11025, .channels = 1, .data = std::vector<uint8_t>(440)},
       "WAV file too short: 440 bytes of audio, less than one 20 ms block"},
  };
  for (const auto& c : cases) EXPECT_EQ(parseError(makeWav(c.spec)), c.error) << c.spec.sampleRate;
}

TEST(WavParser, WalksChunksAndPlaysOnlyTheDataChunk) {
  auto list = testing::chunk("LIST", std::vector<uint8_t>(27, 'x'));  // odd: padded
  std::vector<uint8_t> data(3840, 2);
  data[0] = 1;
  auto bytes = makeWav({.data = data, .chunksBeforeData = {list}, .trailing = testing::chunk("id3 ", {9, 9})});
  auto info = std::get<WavInfo>(parseWav(bytes));
  EXPECT_EQ(info.dataOffset, 44u + list.size());
  EXPECT_EQ(info.dataSize, 3840u);
  EXPECT_EQ(bytes[info.dataOffset], 1);

  // Unknown data size (streamed writers): to the end of the file.
  auto streamed = makeWav({.data = std::vector<uint8_t>(4000, 7), .unknownDataSize = true});
  EXPECT_EQ(std::get<WavInfo>(parseWav(streamed)).dataSize, 4000u);

  // A chunk list that never ends in a "data" chunk is given up on, not walked for ever.
  std::vector<std::vector<uint8_t>> empties(WavLimits::kMaxChunks, testing::chunk("junk", {}));
  EXPECT_THAT(parseError(makeWav({.data = data, .chunksBeforeData = empties})), HasSubstr("data"));

  // No "fmt " before running out of chunks.
  std::vector<uint8_t> noFormat = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
  auto dataChunk = testing::chunk("data", std::vector<uint8_t>(40));
  noFormat.insert(noFormat.end(), dataChunk.begin(), dataChunk.end());
  EXPECT_THAT(parseError(noFormat), HasSubstr("fmt"));
}

TEST(WavParser, AcceptsExtensiblePcmHeaders) {
  auto info = std::get<WavInfo>(
      parseWav(makeWav({.channels = 6, .data = std::vector<uint8_t>(6 * 960 * 2), .extensible = true})));
  EXPECT_EQ(info.channels, 6);
  EXPECT_EQ(info.formatTag, 1);
}

struct WavSourceTest : ::testing::Test {
  ManualExecutor executor;
  OutputRecorder out;
  std::vector<std::vector<uint8_t>> blocks;

  std::shared_ptr<WAVFileSource> load(const WavSpec& spec, Type type = Type::mic) {
    auto r = WAVFileSource::fromBytes(executor, "/tmp/some/test.wav", makeWav(spec), type);
    if (auto* e = std::get_if<std::string>(&r)) ADD_FAILURE() << *e;
    auto source = std::get<std::shared_ptr<WAVFileSource>>(r);
    source->setOnAudioData([this](std::span<const uint8_t> b, int64_t) { blocks.emplace_back(b.begin(), b.end()); });
    return source;
  }
  std::vector<uint8_t> joined() const {
    std::vector<uint8_t> all;
    for (auto& b : blocks) all.insert(all.end(), b.begin(), b.end());
    return all;
  }
};

TEST_F(WavSourceTest, Stereo48kPlaysTheFileBytesUnchangedAndLoops) {
  std::vector<uint8_t> data(3 * 3840 + 100);  // the last 100 bytes never fill a block
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13 + 1);
  auto source = load({.data = data});
  EXPECT_EQ(source->sourceID(), "wav_mic");
  source->start();
  executor.runUntilIdle();
  executor.advance(0.02 * 4 + 1e-4);  // five blocks, the fourth after the wrap
  ASSERT_EQ(blocks.size(), 5u);
  auto all = joined();
  EXPECT_EQ(std::vector<uint8_t>(all.begin(), all.begin() + 3 * 3840),
            std::vector<uint8_t>(data.begin(), data.begin() + 3 * 3840));
  EXPECT_EQ(blocks[3], std::vector<uint8_t>(data.begin(), data.begin() + 3840));
  EXPECT_THAT(out.lines(),
              ElementsAre("WAVFileSource[wav_mic]: loaded test.wav - 48000Hz, 2ch, 16-bit, 11620 bytes PCM",
                          "WAVFileSource[wav_mic]: started",
                          "WAVFileSource[wav_mic]: playback loop starting, inputFrameSize=3840 bytes",
                          "WAVFileSource[wav_mic]: emitted frame 1, outputSize=3840 bytes",
                          "WAVFileSource[wav_mic]: looping file at frame 3"));
}

TEST_F(WavSourceTest, DividingRatesRepeatWholeSampleFrames) {
  // 16000 Hz mono: 640-byte blocks become exactly one output frame, each sample 3 times per side.
  std::vector<int16_t> values(320 * 2);
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<int16_t>(i);
  auto source = load({.sampleRate = 16000, .channels = 1, .data = testing::int16Samples(values)});
  source->start();
  executor.advance(0.03);
  ASSERT_EQ(blocks.size(), 2u);
  for (auto& b : blocks) ASSERT_EQ(b.size(), 3840u);
  auto s = [&](size_t block, size_t i) {
    return static_cast<int16_t>(blocks[block][2 * i] | blocks[block][2 * i + 1] << 8);
  };
  for (size_t i = 0; i < 960 * 2; ++i) ASSERT_EQ(s(0, i), static_cast<int16_t>(i / 6)) << i;
  EXPECT_EQ(s(1, 0), 320);

  // 24000 Hz stereo: left stays left, right stays right.
  blocks.clear();
  std::vector<int16_t> lr;
  for (int i = 0; i < 480; ++i) lr.insert(lr.end(), {static_cast<int16_t>(1000 + i), static_cast<int16_t>(-1000 - i)});
  auto stereo = load({.sampleRate = 24000, .channels = 2, .data = testing::int16Samples(lr)});
  stereo->start();
  executor.advance(0.001);
  ASSERT_FALSE(blocks.empty());
  ASSERT_EQ(blocks[0].size(), 3840u);
  auto v = [&](size_t i) { return static_cast<int16_t>(blocks[0][2 * i] | blocks[0][2 * i + 1] << 8); };
  EXPECT_EQ(v(0), 1000);
  EXPECT_EQ(v(1), -1000);
  EXPECT_EQ(v(2), 1000);
  EXPECT_EQ(v(3), -1000);
  EXPECT_EQ(v(4), 1001);
  EXPECT_EQ(v(5), -1001);
}

// Any other rate or channel count goes through the converter (its own tests measure what it
// makes of the audio): a second of the file is a second of 48 kHz stereo, less its delay.
TEST_F(WavSourceTest, OtherRatesAndLayoutsGoThroughTheConverter) {
  for (auto [rate, channels, from] :
       {std::tuple<uint32_t, uint16_t, const char*>{44100, 1, "44100.0Hz/1ch"}, {48000, 6, "48000.0Hz/6ch"}}) {
    SCOPED_TRACE(from);
    blocks.clear();
    auto source =
        load({.sampleRate = rate, .channels = channels, .data = std::vector<uint8_t>(size_t(rate) * channels * 2)});
    source->start();
    executor.advance(1.0 - 0.001);  // 50 periods
    EXPECT_EQ(blocks.size(), 50u);
    EXPECT_GT(joined().size() / 4, 47000u);
    EXPECT_LE(joined().size() / 4, 48000u);
    EXPECT_EQ(out.linesStartingWith("WAVFileSource[wav_mic]: Created converter: ").back(),
              std::string("WAVFileSource[wav_mic]: Created converter: ") + from + " -> 48000.0Hz/2ch");
    source->stop();
    executor.advance(0.1);
  }
}

TEST_F(WavSourceTest, LogsEvery500thFrameAndRestartsFromTheBeginning) {
  std::vector<uint8_t> data(3840 * 1000);
  data[0] = 42;
  auto source = load({.data = data}, Type::system);
  source->start();
  executor.runUntilIdle();
  executor.advance(0.02 * 999 + 1e-4);
  EXPECT_EQ(blocks.size(), 1000u);
  EXPECT_THAT(out.linesStartingWith("WAVFileSource[wav_system]: emitted"),
              ElementsAre("WAVFileSource[wav_system]: emitted frame 1, outputSize=3840 bytes",
                          "WAVFileSource[wav_system]: emitted frame 500, outputSize=3840 bytes",
                          "WAVFileSource[wav_system]: emitted frame 1000, outputSize=3840 bytes"));
  source->start();
  EXPECT_EQ(out.lines().back(), "WAVFileSource[wav_system]: already active");
  source->stop();
  source->start();
  executor.advance(0.03);
  EXPECT_EQ(out.linesStartingWith("WAVFileSource[wav_system]: playback loop ended at frame 1000").size(), 1u);
  EXPECT_EQ(blocks[1000][0], 42);       // from the start again
  EXPECT_EQ(blocks.size(), 1000u + 2);  // one loop only
}

std::string openError(const std::string& path) {
  auto r = WavFile::open(path);
  return std::holds_alternative<std::string>(r) ? std::get<std::string>(r) : "ok";
}

TEST(WavFile, OpensOnlyRegularFilesWithoutBlocking) {
  std::string fifo = ::testing::TempDir() + "wav_file_test.fifo";
  ::unlink(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const testing::TempFile file("huge.wav", makeWav({.data = std::vector<uint8_t>(3840)}));
  const std::string& huge = file.path();
  ASSERT_EQ(::truncate(huge.c_str(), (int64_t{1} << 32) + 1), 0);  // sparse
  const struct {
    std::string path, error;
  } cases[] = {
      {"/nonexistent/dir/x.wav", "Could not read /nonexistent/dir/x.wav: No such file or directory"},
      {"/tmp", "Could not read /tmp: Is a directory"},
      {fifo, "Could not read " + fifo + ": not a regular file"},  // open() would wait for a writer
      {"/dev/zero", "Could not read /dev/zero: not a regular file"},
      {huge, "Could not read " + huge + ": 4294967297 bytes, more than the 4 GiB a WAV file can hold"},
      {huge + std::string(1, '\0') + "x", "Invalid path: it contains a NUL byte"},
  };
  for (const auto& c : cases) EXPECT_EQ(openError(c.path), c.error);
  ::unlink(fifo.c_str());
}

TEST(WavFile, BothChannelsShareOneFileThatMayShrinkWhilePlaying) {
  ManualExecutor executor;
  OutputRecorder out;
  std::vector<uint8_t> data(3840 * 3);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(1 + i / 3840);  // block number
  const testing::TempFile wav("wav_file_test.wav", makeWav({.data = data}));
  const std::string& path = wav.path();
  auto file = std::get<std::shared_ptr<const WavFile>>(WavFile::open(path));
  std::vector<uint8_t> firstBytes[2];
  std::vector<std::shared_ptr<WAVFileSource>> sources;
  for (auto type : {Type::mic, Type::system}) {
    auto& source =
        sources.emplace_back(std::get<std::shared_ptr<WAVFileSource>>(WAVFileSource::make(executor, file, path, type)));
    source->setOnAudioData(
        [&, type](std::span<const uint8_t> b, int64_t) { firstBytes[type == Type::mic].push_back(b[0]); });
    source->start();
  }
  executor.advance(0.03);  // two blocks each
  // Cut the file inside its second block: playback goes on from the start.
  ASSERT_EQ(::truncate(path.c_str(), 44 + 3840 + 100), 0);
  executor.advance(0.04);
  for (auto& played : firstBytes) EXPECT_THAT(played, ElementsAre(1, 2, 1, 1));
  // Cut below one block: nothing to play, said once, and no spinning.
  ASSERT_EQ(::truncate(path.c_str(), 44 + 100), 0);
  executor.advance(1.0);
  for (auto& played : firstBytes) EXPECT_EQ(played.size(), 4u);
  EXPECT_EQ(out.linesStartingWith("WAVFileSource[wav_mic]: could not read a whole block").size(), 1u);
  EXPECT_EQ(executor.pendingCount(), 2u);  // each source's next period, nothing more
  EXPECT_EQ(out.linesStartingWith("WAVFileSource[wav_system]: loaded " +
                                  std::filesystem::path(path).filename().string() + " - 48000Hz, 2ch")
                .size(),
            1u);
}

}  // namespace
}  // namespace qb
