#include "ProtocolReader.hpp"

#include <gtest/gtest.h>

#include "wire/AudioProtocol.hpp"

using namespace qbtools;

namespace {

std::vector<uint8_t> audioFrame(uint32_t seq, size_t payload, qb::AudioProtocol::FrameType type) {
  std::vector<uint8_t> pcm(payload, 0x5a);
  return qb::encodeAudioFrame(type, 48000, 2, 16, 0.5, pcm, seq);
}

}  // namespace

TEST(FrameParser, ParsesFramesSplitAtEveryByte) {
  std::vector<uint8_t> stream;
  auto a = audioFrame(7, 3840, qb::AudioProtocol::FrameType::mic);
  std::vector<uint8_t> nal{0, 0, 0, 1, 0x65, 1, 2};
  auto v = qb::encodeVideoFrame(1920, 1080, 10, true, 123456789012ull, nal, 4294967295u);
  auto e = audioFrame(0, 0, qb::AudioProtocol::FrameType::system);
  for (auto* f : {&a, &v, &e}) stream.insert(stream.end(), f->begin(), f->end());

  FrameParser parser;
  std::vector<Frame> frames;
  for (uint8_t byte : stream)
    for (auto& f : parser.feed(std::span(&byte, 1))) frames.push_back(std::move(f));

  ASSERT_FALSE(parser.failed()) << parser.error();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(parser.pendingBytes(), 0u);
  EXPECT_TRUE(frames[0].isAudio());
  EXPECT_EQ(frames[0].type, 1);
  EXPECT_EQ(frames[0].sampleRate, 48000);
  EXPECT_EQ(frames[0].channels, 2);
  EXPECT_EQ(frames[0].bitsPerSample, 16);
  EXPECT_EQ(frames[0].level, 32767);
  EXPECT_EQ(frames[0].sequence, 7u);
  EXPECT_EQ(frames[0].payload.size(), 3840u);
  EXPECT_TRUE(frames[1].isVideo());
  EXPECT_TRUE(frames[1].isKeyframe());
  EXPECT_EQ(frames[1].width, 1920);
  EXPECT_EQ(frames[1].height, 1080);
  EXPECT_EQ(frames[1].fps, 10);
  EXPECT_EQ(frames[1].pts, 123456789012ull);
  EXPECT_EQ(frames[1].sequence, 4294967295u);
  EXPECT_EQ(frames[1].payload, nal);
  EXPECT_EQ(frames[2].type, 2);
  EXPECT_EQ(frames[2].payloadLength, 0u);
  EXPECT_EQ(frames[2].index, 2u);
}

TEST(FrameParser, StopsAtCorruptStreams) {
  auto good = audioFrame(1, 8, qb::AudioProtocol::FrameType::mic);
  struct Case {
    const char* name;
    size_t offset;
    uint8_t value;
  } cases[] = {{"magic", 0, 'X'},
               {"version", 4, 3},
               {"audio with video type", 5, 3},
               {"video with audio type", 4, 2},
               {"type zero", 5, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto bad = good;
    bad[c.offset] = c.value;
    std::vector<uint8_t> stream = good;
    stream.insert(stream.end(), bad.begin(), bad.end());
    stream.insert(stream.end(), good.begin(), good.end());
    FrameParser parser;
    EXPECT_EQ(parser.feed(stream).size(), 1u);
    EXPECT_TRUE(parser.failed());
    EXPECT_TRUE(parser.feed(good).empty());  // nothing after an error is trusted
  }
  FrameParser limited(true, 4);
  EXPECT_TRUE(limited.feed(good).empty());
  EXPECT_TRUE(limited.failed());
}

TEST(LineParser, ClassifiesByPrefixAndKeepsPartialLines) {
  LineParser parser;
  auto lines =
      parser.feed(std::string_view("CMD_RESPONSE:STOPPED:ok\nEVENT:X\nMIC_EVENT:{}\nMIC_APP_EVENT:{}\n"
                                   "MIC_APP_STOP_EVENT:{}\nMIC_APP_ERROR:{}\nDEVICE_DIAGNOSTIC:{}\n"
                                   "RUNNING_MICS_SAMPLE:{}\nHello: world\nCMD_RESP"));
  ASSERT_EQ(lines.size(), 9u);
  LineKind kinds[] = {LineKind::cmdResponse,
                      LineKind::event,
                      LineKind::micEvent,
                      LineKind::micAppEvent,
                      LineKind::micAppStopEvent,
                      LineKind::micAppError,
                      LineKind::deviceDiagnostic,
                      LineKind::runningMicsSample,
                      LineKind::log};
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i].kind, kinds[i]) << lines[i].text;
  EXPECT_EQ(lines[0].body, "STOPPED:ok");
  EXPECT_EQ(lines[8].body, "Hello: world");
  EXPECT_EQ(std::string(lineKindName(lines[4].kind)), "MIC_APP_STOP_EVENT");

  auto rest = parser.feed(std::string_view("ONSE:HEALTH_OK:1.5\nunterminated"));
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_EQ(rest[0].body, "HEALTH_OK:1.5");
  EXPECT_EQ(rest[0].index, 9u);
  auto last = parser.finish();
  ASSERT_EQ(last.size(), 1u);
  EXPECT_EQ(last[0].text, "unterminated");
}
