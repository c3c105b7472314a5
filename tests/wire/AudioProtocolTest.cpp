#include "wire/AudioProtocol.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <thread>

#include "ProtocolReader.hpp"
#include "wire/Output.hpp"

using namespace qb;

namespace {

template <class T>
T readLE(const std::vector<uint8_t>& b, size_t at) {
  uint64_t v = 0;
  for (size_t i = 0; i < sizeof(T); ++i) v |= static_cast<uint64_t>(b[at + i]) << (8 * i);
  return static_cast<T>(v);
}

}  // namespace

TEST(AudioProtocol, AudioFrameLayout) {
  std::vector<uint8_t> pcm{1, 2, 3, 4, 5, 6};
  auto f = encodeAudioFrame(AudioProtocol::FrameType::system, 48000, 2, 16, 0.5, pcm, 0xA1B2C3D4);
  ASSERT_EQ(f.size(), 24u + pcm.size());
  EXPECT_EQ(std::vector<uint8_t>(f.begin(), f.begin() + 4), (std::vector<uint8_t>{'A', 'P', 'L', 'D'}));
  EXPECT_EQ(f[4], 1);
  EXPECT_EQ(f[5], 2);
  EXPECT_EQ(readLE<uint16_t>(f, 6), 48000);
  EXPECT_EQ(f[8], 2);
  EXPECT_EQ(f[9], 16);
  EXPECT_EQ(readLE<uint16_t>(f, 10), 32767);
  EXPECT_EQ(readLE<uint32_t>(f, 12), pcm.size());
  EXPECT_EQ(f[16], 0xD4);  // little-endian sequence
  EXPECT_EQ(readLE<uint32_t>(f, 16), 0xA1B2C3D4u);
  EXPECT_EQ(readLE<uint32_t>(f, 20), 0u);
  EXPECT_EQ(std::vector<uint8_t>(f.begin() + 24, f.end()), pcm);

  auto empty = encodeAudioFrame(AudioProtocol::FrameType::mic, 48000, 2, 16, 0, {}, 0);
  EXPECT_EQ(empty.size(), 24u);
  EXPECT_EQ(readLE<uint32_t>(empty, 12), 0u);
}

TEST(AudioProtocol, VideoFrameLayout) {
  std::vector<uint8_t> nal{0, 0, 0, 1, 0x67};
  auto key = encodeVideoFrame(1920, 1080, 30, true, 0x0102030405060708ull, nal, 4294967295u);
  ASSERT_EQ(key.size(), 32u + nal.size());
  EXPECT_EQ(key[4], 2);
  EXPECT_EQ(key[5], 3);
  EXPECT_EQ(readLE<uint16_t>(key, 6), 1920);
  EXPECT_EQ(readLE<uint16_t>(key, 8), 1080);
  EXPECT_EQ(key[10], 30);
  EXPECT_EQ(key[11], 1);
  EXPECT_EQ(key[12], 0x08);
  EXPECT_EQ(readLE<uint64_t>(key, 12), 0x0102030405060708ull);
  EXPECT_EQ(readLE<uint32_t>(key, 20), nal.size());
  EXPECT_EQ(readLE<uint32_t>(key, 24), 4294967295u);
  EXPECT_EQ(readLE<uint32_t>(key, 28), 0u);

  auto delta = encodeVideoFrame(1, 1, 1, false, 0, {}, 0);
  EXPECT_EQ(delta.size(), 32u);
  EXPECT_EQ(delta[11], 2);  // never 0 for a non-keyframe
}

TEST(AudioProtocol, LevelFieldEdges) {
  EXPECT_EQ(levelField(0.5), 32767);
  EXPECT_EQ(levelField(0.0), 0);
  EXPECT_EQ(levelField(-0.25), 0);
  EXPECT_EQ(levelField(-std::numeric_limits<double>::infinity()), 0);
  EXPECT_EQ(levelField(1.0), 65535);
  EXPECT_EQ(levelField(7.5), 65535);
  EXPECT_EQ(levelField(std::numeric_limits<double>::infinity()), 65535);
  EXPECT_EQ(levelField(std::nan("")), 65535);
  EXPECT_EQ(levelField(std::nextafter(1.0, 0.0)), 65534);  // truncated, not rounded
  EXPECT_EQ(levelField(1.0 / 65535.0), 1);
}

// Frames larger than the pipe's buffer force partial writes; two writers at once must
// still produce whole frames, one after the other.
TEST(OutputWriters, ConcurrentFramesOnOnePipeNeverInterleave) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  fflush(stdout);
  int savedStdout = dup(STDOUT_FILENO);
  ASSERT_GE(savedStdout, 0);
  ASSERT_GE(dup2(fds[1], STDOUT_FILENO), 0);
  close(fds[1]);

  constexpr int kFrames = 40;
  std::vector<qbtools::Frame> frames;
  std::string parseError;
  std::thread reader([&] {
    qbtools::FrameParser parser;
    std::vector<uint8_t> buf(1 << 16);
    ssize_t n;
    while ((n = read(fds[0], buf.data(), buf.size())) > 0)
      for (auto& f : parser.feed(std::span(buf.data(), static_cast<size_t>(n)))) frames.push_back(std::move(f));
    parseError = parser.error();
  });

  std::thread audio([] {
    std::vector<uint8_t> pcm(200000, 0x11);
    for (uint32_t i = 0; i < kFrames; ++i) writeBinaryFrame(AudioProtocol::FrameType::mic, 48000, 2, 16, 0.1, pcm, i);
  });
  std::thread video([] {
    std::vector<uint8_t> nal(150001, 0x22);
    for (uint32_t i = 0; i < kFrames; ++i) writeVideoFrame(640, 480, 10, i == 0, i * 100000ull, nal, i);
  });
  audio.join();
  video.join();
  dup2(savedStdout, STDOUT_FILENO);  // closes the last write end: the reader sees EOF
  close(savedStdout);
  reader.join();
  close(fds[0]);

  EXPECT_EQ(parseError, "");
  ASSERT_EQ(frames.size(), 2u * kFrames);
  uint32_t nextAudio = 0, nextVideo = 0;
  for (const auto& f : frames) {
    uint8_t fill = f.isAudio() ? 0x11 : 0x22;
    EXPECT_EQ(f.payload.size(), f.isAudio() ? 200000u : 150001u);
    EXPECT_TRUE(std::all_of(f.payload.begin(), f.payload.end(), [&](uint8_t b) { return b == fill; }));
    EXPECT_EQ(f.sequence, f.isAudio() ? nextAudio++ : nextVideo++);
  }
}
