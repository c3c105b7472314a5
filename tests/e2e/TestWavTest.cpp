// TEST_WAV end to end: the built helper plays a file and its frames on standard output
// carry the file's bytes, at the file's pace.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>

#include "HelperProcess.hpp"
#include "sources/WavTestFiles.hpp"

namespace {

using qbtools::Frame;
using qbtools::HelperOptions;
using qbtools::HelperProcess;
using qbtools::LineKind;

std::string writeTempFile(const std::string& name, const std::vector<uint8_t>& bytes) {
  std::string path = ::testing::TempDir() + "qb_e2e_" + std::to_string(::getpid()) + "_" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return {};
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  return path;
}

HelperOptions helperOptions() {
  HelperOptions o;
  o.binary = std::string(QB_BINARY_DIR) + "/quellbrook";
  return o;
}

std::vector<Frame> framesOfType(const std::vector<Frame>& all, uint8_t type) {
  std::vector<Frame> out;
  for (auto& f : all)
    if (f.type == type) out.push_back(f);
  return out;
}

void stopAndExpectCleanExit(HelperProcess& helper) {
  uint64_t from = helper.lineCount();
  ASSERT_TRUE(helper.send("STOP"));
  EXPECT_TRUE(helper.waitForResponsePrefix("STOPPED", 10, from));
  auto status = helper.waitForExit(10);
  ASSERT_TRUE(status);
  EXPECT_TRUE(status->exited);
  EXPECT_EQ(status->code, 0);
}

TEST(TestWav, FramesCarryTheFileBytesAtRealTimePace) {
  // Four seconds of 48 kHz stereo in which every 16-bit sample is distinct from its
  // neighbours, so any shift, drop or channel swap shows.
  std::vector<uint8_t> data(4 * 192000);
  for (size_t i = 0; i < data.size(); i += 2) {
    auto v = static_cast<uint16_t>((i / 2) * 7919u);
    data[i] = static_cast<uint8_t>(v);
    data[i + 1] = static_cast<uint8_t>(v >> 8);
  }
  std::string path = writeTempFile("stereo48k.wav", qb::testing::makeWav({.data = data}));
  ASSERT_FALSE(path.empty());

  HelperProcess helper(helperOptions());
  ASSERT_TRUE(helper.send("TEST_WAV:" + path));
  ASSERT_TRUE(helper.waitForResponse("TEST_WAV:started:" + path, 10));
  for (uint8_t type : {1, 2})
    ASSERT_TRUE(helper.waitForFrames(151, 15, [type](const Frame& f) { return f.type == type; }));
  auto all = helper.frames();
  stopAndExpectCleanExit(helper);
  std::remove(path.c_str());
  ASSERT_EQ(helper.protocolError(), "");

  for (uint8_t type : {1, 2}) {
    SCOPED_TRACE(type == 1 ? "mic" : "system");
    auto frames = framesOfType(all, type);
    ASSERT_GE(frames.size(), 151u);
    std::vector<uint8_t> played;
    for (size_t i = 0; i < frames.size(); ++i) {
      ASSERT_EQ(frames[i].sequence, i);
      ASSERT_EQ(frames[i].sampleRate, 48000);
      ASSERT_EQ(frames[i].channels, 2);
      ASSERT_EQ(frames[i].bitsPerSample, 16);
      ASSERT_EQ(frames[i].payloadLength, 3840u);
      played.insert(played.end(), frames[i].payload.begin(), frames[i].payload.end());
    }
    // Byte for byte, for the first three seconds.
    ASSERT_GE(played.size(), 3u * 192000);
    for (size_t i = 0; i < 3 * 192000; ++i) ASSERT_EQ(played[i], data[i]) << "byte " << i;

    // 50 frames a second: frame 150 arrives three seconds after frame 0, give or take
    // one 100 ms output tick and scheduling noise.
    double span = std::chrono::duration<double>(frames[150].received - frames[0].received).count();
    EXPECT_NEAR(span, 3.0, 0.25);
  }
}

TEST(TestWav, ResampledFilePlaysAtTheRightSpeed) {
  std::vector<int16_t> tone(44100 * 3);
  for (size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<int16_t>((i % 100) * 300 - 15000);
  std::string path = writeTempFile(
      "mono44k.wav",
      qb::testing::makeWav({.sampleRate = 44100, .channels = 1, .data = qb::testing::int16Samples(tone)}));
  HelperProcess helper(helperOptions());
  ASSERT_TRUE(helper.send("TEST_WAV:" + path));
  ASSERT_TRUE(helper.waitForResponse("TEST_WAV:started:" + path, 10));
  ASSERT_TRUE(helper.waitForFrames(110, 15, [](const Frame& f) { return f.type == 1; }));
  auto mic = framesOfType(helper.frames(), 1);
  stopAndExpectCleanExit(helper);
  std::remove(path.c_str());
  ASSERT_GE(mic.size(), 110u);
  double span = std::chrono::duration<double>(mic[105].received - mic[5].received).count();
  EXPECT_NEAR(span, 2.0, 0.25);  // 100 frames of 20 ms
}

TEST(TestWav, RefusedFileIsAnsweredAndTheHelperCarriesOn) {
  std::string path = writeTempFile("bad.wav", std::vector<uint8_t>(100, 'x'));
  HelperProcess helper(helperOptions());
  ASSERT_TRUE(helper.send("TEST_WAV:" + path));
  EXPECT_TRUE(helper.waitForResponse("TEST_WAV:error:Invalid RIFF header", 10));
  ASSERT_TRUE(helper.send("TEST_WAV:/nonexistent/file.wav"));
  EXPECT_TRUE(
      helper.waitForResponse("TEST_WAV:error:Could not read /nonexistent/file.wav: No such file or directory", 10));
  stopAndExpectCleanExit(helper);
  std::remove(path.c_str());
  EXPECT_EQ(helper.frameCount(), 0u);
}

}  // namespace
