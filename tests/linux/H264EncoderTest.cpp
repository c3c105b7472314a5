// The H.264 encoders checked by decoding their output with libavcodec's decoder: sizes,
// keyframes and parameter sets, bit rate, and the colours of a test pattern end to end
// (conversion, matrix and range signalling). Each runs on libx264 called directly (what the
// helper uses without hardware) and through the libavcodec module (what it uses with it;
// libx264 there stands in for the hardware this machine lacks).

extern "C" {
#include <libavcodec/avcodec.h>
}
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <libyuv/convert_argb.h>

#include <cmath>
#include <cstring>
#include <mutex>
#include <random>
#include <vector>

#include "platform/linux/encode/H264EncoderFactory.hpp"
#include "platform/linux/encode/NalUnits.hpp"
#include "platform/linux/encode/PictureConverter.hpp"
#include "platform/linux/encode/X264VideoEncoder.hpp"
#include "platform/linux/encode/libav/LibavVideoEncoder.hpp"

namespace qb::encode {
namespace {

struct Output {
  std::optional<PlatformError> error;
  EncodedFrame frame;
};

// Collects outputs in the order the encoder's thread delivers them.
struct Collector {
  std::mutex mutex;
  std::vector<Output> outputs;
  VideoEncoder::Output callback() {
    return [this](std::optional<PlatformError> error, const EncodedFrame* frame) {
      std::lock_guard lock(mutex);
      outputs.push_back({error, frame ? *frame : EncodedFrame{}});
    };
  }
};

enum class Path { x264, libav };

std::unique_ptr<VideoEncoder> makeEncoder(Path path, const EncoderSettings& settings) {
  if (path == Path::libav) {
    static void* module = dlopen(QB_BINARY_DIR "/quellbrook-libav.so", RTLD_NOW | RTLD_LOCAL);
    if (!module) {
      ADD_FAILURE() << "cannot load the module: " << dlerror();
      return nullptr;
    }
    auto open = reinterpret_cast<LibavOpenFunction>(dlsym(module, kLibavOpenSymbol));
    if (!open) {
      ADD_FAILURE() << "the module has no entry point";
      return nullptr;
    }
    LibavOpenResult result;
    open(settings, true, result);
    EXPECT_EQ(result.codec, "libx264") << result.refused;
    return std::move(result.encoder);
  }
  H264EncoderFactory factory(nullptr, {.tryHardware = false});
  auto made = factory.create(settings);
  if (auto* status = std::get_if<int32_t>(&made)) ADD_FAILURE() << "create failed: " << *status;
  EXPECT_EQ(factory.lastChoice(), "libx264");
  return made.index() == 0 ? std::move(std::get<0>(made)) : nullptr;
}

class H264EncoderTest : public ::testing::TestWithParam<Path> {
 protected:
  std::unique_ptr<VideoEncoder> makeEncoder(const EncoderSettings& settings) {
    return qb::encode::makeEncoder(GetParam(), settings);
  }
};

// Decodes encoder output the way the host does: Annex B, parameter sets before keyframes.
class Decoder {
 public:
  Decoder() {
    ctx_ = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264));
    EXPECT_EQ(avcodec_open2(ctx_, nullptr, nullptr), 0);
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
  }
  ~Decoder() {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&ctx_);
  }
  // The decoded picture, or null.
  const AVFrame* decode(const EncodedFrame& encoded) {
    std::vector<uint8_t> annexB;
    auto put = [&](std::span<const uint8_t> nal) {
      annexB.insert(annexB.end(), {0, 0, 0, 1});
      annexB.insert(annexB.end(), nal.begin(), nal.end());
    };
    for (const auto& set : encoded.parameterSets) put(set);
    for (auto nal : splitNalUnits(encoded.lengthPrefixedNALs)) put(nal);
    packet_->data = annexB.data();
    packet_->size = int(annexB.size());
    if (avcodec_send_packet(ctx_, packet_) < 0) return nullptr;
    return avcodec_receive_frame(ctx_, frame_) == 0 ? frame_ : nullptr;
  }

 private:
  AVCodecContext* ctx_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
};

// A BGRA source the converter reads.
struct Screen {
  int width, height;
  std::vector<uint8_t> bgra;
  Screen(int w, int h) : width(w), height(h), bgra(size_t(w) * h * 4) {}
  BgraView view() const { return {bgra.data(), width * 4, width, height}; }
  void fill(int x0, int y0, int w, int h, uint8_t r, uint8_t g, uint8_t b) {
    for (int y = y0; y < y0 + h; ++y)
      for (int x = x0; x < x0 + w; ++x) {
        uint8_t* p = &bgra[(size_t(y) * width + x) * 4];
        p[0] = b, p[1] = g, p[2] = r, p[3] = 255;
      }
  }
};

const std::vector<std::array<uint8_t, 3>> kBars = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                                                   {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {16, 16, 16}};

Screen colourBars(int w, int h) {
  Screen s(w, h);
  const int bar = w / int(kBars.size());
  for (size_t i = 0; i < kBars.size(); ++i) s.fill(int(i) * bar, 0, bar, h, kBars[i][0], kBars[i][1], kBars[i][2]);
  return s;
}

TEST_P(H264EncoderTest, KeyframesParameterSetsAndSizeAsDecoded) {
  const EncoderSettings settings{320, 240, 5, 300000};
  auto encoder = makeEncoder(settings);
  ASSERT_TRUE(encoder);
  PictureConverter converter(320, 240, kPixelFormat420v, 4);
  Screen screen = colourBars(320, 240);
  Collector out;
  for (int i = 0; i < 14; ++i) {
    screen.fill(i * 10, 100, 20, 20, 200, 100, uint8_t(i * 15));
    auto frame = converter.convert(screen.view(), {}, nullptr, 1.0 + i * 0.2);
    ASSERT_TRUE(frame);
    encoder->encode(*frame, i == 3, out.callback());
    encoder->completeFrames();  // keeps the small pool from running dry
  }
  EXPECT_EQ(converter.pool().picturesHeld(), 0) << "the encoder kept pictures after encoding them";
  ASSERT_EQ(out.outputs.size(), 14u);
  Decoder decoder;
  for (int i = 0; i < 14; ++i) {
    const auto& o = out.outputs[size_t(i)];
    ASSERT_FALSE(o.error) << o.error->printed();
    // The first unasked, forced at 3, then one every fps (5) frames after the last.
    const bool keyframe = i == 0 || i == 3 || i == 8 || i == 13;
    EXPECT_EQ(!o.frame.notSync, keyframe) << "frame " << i;
    EXPECT_EQ(o.frame.parameterSets.size(), keyframe ? 2u : 0u) << "frame " << i;
    EXPECT_DOUBLE_EQ(o.frame.presentationTime, 1.0 + i * 0.2);
    bool idr = false;
    for (auto nal : splitNalUnits(o.frame.lengthPrefixedNALs)) {
      EXPECT_NE(nalType(nal), kNalSps) << "SPS inside the frame data";
      idr = idr || nalType(nal) == kNalIdr;
    }
    EXPECT_EQ(idr, keyframe) << "a keyframe that is not an IDR, frame " << i;
    if (keyframe) {
      EXPECT_EQ(nalType(o.frame.parameterSets[0]), kNalSps);
      EXPECT_EQ(nalType(o.frame.parameterSets[1]), kNalPps);
      EXPECT_EQ(o.frame.parameterSets[0][1], 77) << "not Main profile";
    }
    const AVFrame* decoded = decoder.decode(o.frame);
    ASSERT_TRUE(decoded) << "frame " << i << " did not decode";
    EXPECT_EQ(decoded->width, 320);
    EXPECT_EQ(decoded->height, 240);
    EXPECT_EQ(decoded->colorspace, AVCOL_SPC_SMPTE170M);
    EXPECT_EQ(decoded->color_range, AVCOL_RANGE_MPEG);
  }
}

TEST_P(H264EncoderTest, TheFirstPictureIsAnIdrEvenWhenItLooksLikeTheProof) {
  // A black picture after the black one an encoder proves itself on is no scene cut.
  auto encoder = makeEncoder({320, 240, 10, 300000});
  ASSERT_TRUE(encoder);
  PictureConverter converter(320, 240, kPixelFormat420v, 2);
  const Screen black(320, 240);
  Collector out;
  for (int i = 0; i < 2; ++i) {
    encoder->encode(*converter.convert(black.view(), {}, nullptr, i * 0.1), false, out.callback());
    encoder->completeFrames();
  }
  ASSERT_EQ(out.outputs.size(), 2u);
  EXPECT_FALSE(out.outputs[0].frame.notSync);
  EXPECT_TRUE(out.outputs[1].frame.notSync);
  Decoder decoder;
  EXPECT_TRUE(decoder.decode(out.outputs[0].frame));
}

TEST_P(H264EncoderTest, ColoursSurviveConversionEncodingAndDecoding) {
  for (uint32_t format : {kPixelFormat420v, kPixelFormatBGRA}) {
    auto encoder = makeEncoder({320, 180, 10, 2000000});
    ASSERT_TRUE(encoder);
    // Letterboxed: a 4:3 source in a 16:9 picture.
    PictureConverter converter(320, 180, format);
    Screen screen = colourBars(480, 360);
    Collector out;
    encoder->encode(*converter.convert(screen.view(), {}, nullptr, 0), true, out.callback());
    encoder->completeFrames();
    ASSERT_EQ(out.outputs.size(), 1u);
    ASSERT_FALSE(out.outputs[0].error);
    Decoder decoder;
    const AVFrame* f = decoder.decode(out.outputs[0].frame);
    ASSERT_TRUE(f);
    std::vector<uint8_t> argb(320 * 180 * 4);
    libyuv::I420ToARGB(f->data[0], f->linesize[0], f->data[1], f->linesize[1], f->data[2], f->linesize[2], argb.data(),
                       320 * 4, 320, 180);
    const PixelRect content = converter.contentRect();
    EXPECT_EQ(content, (PixelRect{40, 0, 240, 180}));
    auto expectColour = [&](int x, int y, std::array<uint8_t, 3> rgb) {
      const uint8_t* p = &argb[(size_t(y) * 320 + x) * 4];
      for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(p[2 - c], rgb[size_t(c)], 10) << "format " << format << " at " << x << "," << y << " channel " << c;
    };
    expectColour(10, 90, {0, 0, 0});  // letterbox
    const int bar = content.width / int(kBars.size());
    for (size_t i = 0; i < kBars.size(); ++i) expectColour(content.x + int(i) * bar + bar / 2, 90, kBars[i]);
  }
}

TEST_P(H264EncoderTest, BitRateHoldsItsTargetOnMovingContent) {
  // Ten seconds at 10 fps of moving content: a scrolling textured page and a moving window, a
  // picture every frame interval and, as a screen that changes less often sends them, every
  // third (libx264 only: it budgets each picture by the time it stands for).
  for (const int every : {1, 3}) {
    if (every > 1 && GetParam() == Path::libav) continue;
    SCOPED_TRACE("a picture every " + std::to_string(every) + " intervals");
    const EncoderSettings settings{320, 240, 10, 400000};
    auto encoder = makeEncoder(settings);
    ASSERT_TRUE(encoder);
    PictureConverter converter(320, 240, kPixelFormat420v, 2);
    std::mt19937 rng(5);
    Screen page(320, 2000);
    for (int y = 0; y < 2000; y += 2)
      for (int x = 0; x < 320; x += 2) {
        const uint8_t v = uint8_t(rng());
        page.fill(x, y, 2, 2, v, uint8_t(v / 2 + (y & 64)), uint8_t(255 - v));
      }
    Screen screen(320, 240);
    Collector out;
    for (int i = 0; i < 100; i += every) {
      for (int y = 0; y < 240; ++y)
        std::memcpy(&screen.bgra[size_t(y) * 320 * 4], &page.bgra[size_t(y + i * 7) * 320 * 4], 320 * 4);
      screen.fill((i * 5) % 240, 60, 80, 60, 240, 240, 240);
      const PixelRect everything{0, 0, 320, 240};
      encoder->encode(*converter.convert(screen.view(), {&everything, 1}, nullptr, i * 0.1), false, out.callback());
      encoder->completeFrames();
    }
    size_t bytes = 0;
    for (const auto& o : out.outputs) {
      ASSERT_FALSE(o.error);
      bytes += o.frame.lengthPrefixedNALs.size();
      for (const auto& set : o.frame.parameterSets) bytes += set.size();
    }
    const double bitsPerSecond = double(bytes) * 8 / 10.0;
    EXPECT_NEAR(bitsPerSecond, 400000, 400000 * 0.15);
  }
}

TEST_P(H264EncoderTest, OddSizesEncodeOnePixelSmallerAndBadSettingsAreRefused) {
  auto encoder = makeEncoder({161, 91, 10, 200000});
  ASSERT_TRUE(encoder);
  PictureConverter converter(161, 91, kPixelFormat420v);
  Screen screen = colourBars(161, 91);
  Collector out;
  encoder->encode(*converter.convert(screen.view(), {}, nullptr, 0), true, out.callback());
  encoder->completeFrames();
  ASSERT_EQ(out.outputs.size(), 1u);
  Decoder decoder;
  const AVFrame* f = decoder.decode(out.outputs[0].frame);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->width, 160);
  EXPECT_EQ(f->height, 90);

  H264EncoderFactory factory(nullptr, {.tryHardware = false});
  for (const EncoderSettings& bad : {EncoderSettings{0, 240, 10, 1000}, EncoderSettings{320, 240, 0, 1000},
                                     EncoderSettings{320, 240, 10, 0}, EncoderSettings{1, 1, 10, 1000}}) {
    auto made = factory.create(bad);
    ASSERT_EQ(made.index(), 1u) << bad.width << "x" << bad.height << "@" << bad.fps;
    EXPECT_LT(std::get<1>(made), 0);
  }
}

TEST_P(H264EncoderTest, InvalidateDropsQueuedFramesAndReturnsTheirPictures) {
  auto encoder = makeEncoder({640, 360, 10, 1000000});
  ASSERT_TRUE(encoder);
  PictureConverter converter(640, 360, kPixelFormat420v, 4);
  Screen screen = colourBars(640, 360);
  Collector out;
  for (int i = 0; i < 4; ++i) encoder->encode(*converter.convert(screen.view(), {}, nullptr, i), false, out.callback());
  encoder->invalidate();
  size_t seen;
  {
    std::lock_guard lock(out.mutex);
    seen = out.outputs.size();
  }
  encoder->encode(*converter.convert(screen.view(), {}, nullptr, 9), false, out.callback());
  encoder->completeFrames();
  encoder.reset();
  EXPECT_LE(out.outputs.size(), seen + 1) << "outputs after invalidate";  // one may have been running
  EXPECT_EQ(converter.pool().picturesHeld(), 0);
}

// A picture may say where it differs from the one before; libx264 passes over the rest. The
// hint is taken only from the picture that directly follows the one encoded last.
TEST(X264UnchangedAreasTest, HintsAreUsedOnlyRightAfterThePictureTheyFollow) {
  // Decoded luma at the middle of a white square drawn on grey in the second picture.
  auto squareLuma = [](bool lie, uint64_t since) {
    auto encoder = makeEncoder(Path::x264, {320, 240, 10, 300000});
    if (!encoder) return -1;
    PictureConverter converter(320, 240, kPixelFormat420v, 4);
    Screen screen(320, 240);
    screen.fill(0, 0, 320, 240, 128, 128, 128);
    Collector out;
    auto first = converter.convert(screen.view(), {}, nullptr, 0);
    const uint64_t firstSerial = first->serial;
    encoder->encode(*first, false, out.callback());
    first.reset();
    encoder->completeFrames();
    screen.fill(128, 96, 64, 64, 255, 255, 255);
    const PixelRect square{128, 96, 64, 64};
    auto second = converter.convert(screen.view(), {&square, 1}, nullptr, 0.1);
    EXPECT_EQ(second->changedSince, firstSerial);
    EXPECT_GE(second->changeCount, 1);
    if (lie) second->changeCount = 0;
    if (since) second->changedSince = since;
    encoder->encode(*second, false, out.callback());
    second.reset();
    encoder->completeFrames();
    if (out.outputs.size() != 2) return -1;
    Decoder decoder;
    decoder.decode(out.outputs[0].frame);
    const AVFrame* f = decoder.decode(out.outputs[1].frame);
    return f ? int(f->data[0][size_t(128) * size_t(f->linesize[0]) + 160]) : -1;
  };
  EXPECT_GT(squareLuma(false, 0), 200) << "the square where the hint says it is";
  // A hint that leaves the square out is followed (proof that hints reach libx264)...
  EXPECT_LT(squareLuma(true, 0), 150);
  // ...but not one that follows another picture than the one encoded last.
  EXPECT_GT(squareLuma(true, 999999), 200);
}

TEST(X264SettingsTest, ThreadsFollowThePixelRate) {
  // Up to 1080p30 one thread: slices would cost CPU for nothing.
  EXPECT_EQ(x264ThreadCount({1920, 1080, 10, 2000000}, 2), 1);
  EXPECT_EQ(x264ThreadCount({1920, 1080, 30, 2000000}, 8), 1);
  EXPECT_EQ(x264ThreadCount({1920, 1080, 60, 2000000}, 8), 2);
  EXPECT_EQ(x264ThreadCount({3840, 2160, 60, 2000000}, 8), 8);
  EXPECT_EQ(x264ThreadCount({3840, 2160, 60, 2000000}, 2), 2);
  EXPECT_EQ(x264ThreadCount({3840, 2160, 60, 2000000}, 0), 1) << "core count unknown";
}

INSTANTIATE_TEST_SUITE_P(Paths, H264EncoderTest, ::testing::Values(Path::x264, Path::libav),
                         [](const auto& info) { return info.param == Path::x264 ? "x264" : "libav"; });

TEST(NalUnitsTest, SplitsBothFramings) {
  const std::vector<uint8_t> annexB = {0, 0, 0, 1, 0x67, 1, 2, 0, 0, 1, 0x68, 3, 0, 0, 0, 1, 0x65, 0, 0, 3, 1};
  auto units = splitNalUnits(annexB);
  ASSERT_EQ(units.size(), 3u);
  EXPECT_EQ(std::vector<uint8_t>(units[0].begin(), units[0].end()), (std::vector<uint8_t>{0x67, 1, 2}));
  EXPECT_EQ(std::vector<uint8_t>(units[1].begin(), units[1].end()), (std::vector<uint8_t>{0x68, 3}));
  EXPECT_EQ(std::vector<uint8_t>(units[2].begin(), units[2].end()), (std::vector<uint8_t>{0x65, 0, 0, 3, 1}));

  // A length-prefixed unit of 256..511 bytes starts with 00 00 01: still read by its length.
  std::vector<uint8_t> prefixed;
  std::vector<uint8_t> big(300, 0x11);
  big[0] = 0x41;
  appendLengthPrefixed(prefixed, big);
  appendLengthPrefixed(prefixed, std::vector<uint8_t>{0x06, 5});
  units = splitNalUnits(prefixed);
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(units[0].size(), 300u);
  EXPECT_EQ(nalType(units[1]), kNalSei);
  EXPECT_TRUE(splitNalUnits({}).empty());

  // An IDR behind a 3-byte start code, 361 bytes long: its first four bytes read as a length
  // chain exactly to its end, and only the forbidden bit of the would-be unit (0x88) says no.
  std::vector<uint8_t> idr = {0, 0, 1, 0x65, 0x88};
  idr.resize(361, 0x11);
  units = splitNalUnits(idr);
  ASSERT_EQ(units.size(), 1u);
  EXPECT_EQ(nalType(units[0]), kNalIdr);
}

}  // namespace
}  // namespace qb::encode
