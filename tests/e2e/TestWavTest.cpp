// TEST_WAV end to end: the built helper plays a file and its frames on standard output
// carry the file's bytes, at the file's pace.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <string>

#include "HelperProcess.hpp"
#include "e2e/support/HelperUnderTest.hpp"
#include "sources/WavTestFiles.hpp"

namespace {

using qbtools::Frame;
using qbtools::HelperOptions;
using qbtools::HelperProcess;
using qbtools::LineKind;

HelperOptions helperOptions() {
  HelperOptions o;
  o.binary = qb::e2e::helperBinary();
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
  const qb::testing::TempFile wav("stereo48k.wav", qb::testing::makeWav({.data = data}));
  const std::string& path = wav.path();

  HelperProcess helper(helperOptions());
  ASSERT_TRUE(helper.send("TEST_WAV:" + path));
  ASSERT_TRUE(helper.waitForResponse("TEST_WAV:started:" + path, 10));
  for (uint8_t type : {1, 2})
    ASSERT_TRUE(helper.waitForFrames(151, 15, [type](const Frame& f) { return f.type == type; }));
  auto all = helper.frames();
  stopAndExpectCleanExit(helper);
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

long peakRssKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
  return -1;
}

// What is refused (a FIFO whose opening would wait among it) is WavFile's and WavParser's
// tables; here, that a file far larger than memory starts at once and costs no memory: 2 GiB,
// sparse, so the test costs no disk either.
TEST(TestWav, AHugeFileStartsAtOnceAndCostsNoMemory) {
  HelperProcess helper(helperOptions());
  const qb::testing::TempFile file("huge.wav", qb::testing::makeWav({.data = std::vector<uint8_t>(3840)}));
  const std::string& huge = file.path();
  ASSERT_EQ(::truncate(huge.c_str(), int64_t{2} << 30), 0);
  uint64_t from = helper.lineCount();
  ASSERT_TRUE(helper.send("TEST_WAV:" + huge));
  ASSERT_TRUE(helper.send("HEALTH_CHECK"));
  EXPECT_TRUE(helper.waitForResponse("TEST_WAV:started:" + huge, 10, from));
  EXPECT_TRUE(helper.waitForResponsePrefix("HEALTH_OK:", 10, from));
  ASSERT_TRUE(helper.waitForFrames(20, 10, [](const Frame& f) { return f.type == 2; }));
  EXPECT_LT(peakRssKiB(helper.pid()), 200 * 1024);
  stopAndExpectCleanExit(helper);
}

}  // namespace
