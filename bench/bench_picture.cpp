// Per-frame cost of the picture stages of screen capture at 1920x1080, without a display:
// conversion and scaling (whole picture and a damaged rectangle, libyuv against swscale), the
// pointer, H.264 encoding at 10 and 30 fps, and PNG (libpng against libspng at the same
// settings). Process CPU time, so the encoder's threads count. The grab and the whole pipeline
// beside ffmpeg are in bench_screen.
#include <benchmark/benchmark.h>
#include <libyuv/convert_from_argb.h>
#include <spng.h>

extern "C" {
#include <libswscale/swscale.h>
}

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "platform/PicturePool.hpp"
#include "platform/linux/encode/H264EncoderFactory.hpp"
#include "platform/linux/encode/PictureConverter.hpp"
#include "platform/linux/encode/PngImageEncoder.hpp"

namespace {

using namespace qb;
using namespace qb::encode;

// A desktop: a gradient background, windows with title bars and lines of "text".
struct Desktop {
  int width, height;
  std::vector<uint8_t> bgra;
  Desktop(int w, int h, unsigned seed = 1) : width(w), height(h), bgra(size_t(w) * size_t(h) * 4) {
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) put(x, y, uint8_t(40 + y * 60 / h), uint8_t(70 + x * 40 / w), 120);
    std::mt19937 rng(seed);
    for (int i = 0; i < 6; ++i)
      window(int(rng() % unsigned(w * 2 / 3)), int(rng() % unsigned(h * 2 / 3)), w / 3, h / 3, rng);
  }
  void put(int x, int y, uint8_t r, uint8_t g, uint8_t b) {
    uint8_t* p = &bgra[(size_t(y) * size_t(width) + size_t(x)) * 4];
    p[0] = b, p[1] = g, p[2] = r, p[3] = 255;
  }
  void window(int x0, int y0, int w, int h, std::mt19937& rng) {
    for (int y = y0; y < std::min(height, y0 + h); ++y)
      for (int x = x0; x < std::min(width, x0 + w); ++x) {
        const bool title = y - y0 < 28;
        // Glyph-sized dark specks on text lines: 8 px letters on 18 px lines.
        const bool ink = !title && (y - y0) % 18 > 4 && (y - y0) % 18 < 14 && (rng() % 3 == 0) && ((x - x0) % 9 < 6);
        if (title)
          put(x, y, 60, 60, 70);
        else if (ink)
          put(x, y, 20, 20, 20);
        else
          put(x, y, 250, 250, 250);
      }
  }
  BgraView view() const { return {bgra.data(), width * 4, width, height}; }
  Image image() const { return Image{width, height, width * 4, bgra}; }
};

std::vector<uint32_t> arrowCursor() {
  std::vector<uint32_t> c(24 * 24, 0);
  for (int y = 0; y < 24; ++y)
    for (int x = 0; x <= y / 2 + 2 && x < 24; ++x)
      c[size_t(y) * 24 + size_t(x)] = x == 0 || x == y / 2 + 2 ? 0xFF000000u : 0xFFFFFFFFu;
  return c;
}

void convertWhole(benchmark::State& state, int sourceW, int sourceH, uint32_t format) {
  Desktop desktop(sourceW, sourceH);
  PictureConverter converter(1920, 1080, format, 2);
  for (auto _ : state) {
    converter.invalidate();
    auto f = converter.convert(desktop.view(), {}, nullptr, 0);
    benchmark::DoNotOptimize(f);
  }
}
void BM_Convert_1080p_to_1080p_NV12(benchmark::State& s) { convertWhole(s, 1920, 1080, kPixelFormat420v); }
void BM_Convert_1440p_to_1080p_NV12(benchmark::State& s) { convertWhole(s, 2560, 1440, kPixelFormat420v); }
void BM_Convert_1080p_to_1080p_BGRA(benchmark::State& s) { convertWhole(s, 1920, 1080, kPixelFormatBGRA); }
BENCHMARK(BM_Convert_1080p_to_1080p_NV12)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Convert_1440p_to_1080p_NV12)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Convert_1080p_to_1080p_BGRA)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

// The same two conversions through swscale, the alternative to libyuv.
void swscaleWhole(benchmark::State& state, int sourceW, int sourceH) {
  Desktop desktop(sourceW, sourceH);
  PicturePool pool(1920, 1080, kPixelFormat420v, 1);
  auto picture = pool.acquire();
  SwsContext* sws = sws_getContext(sourceW, sourceH, AV_PIX_FMT_BGRA, 1920, 1080, AV_PIX_FMT_NV12, SWS_BILINEAR,
                                   nullptr, nullptr, nullptr);
  const uint8_t* src[1] = {desktop.bgra.data()};
  const int srcStride[1] = {sourceW * 4};
  for (auto _ : state) sws_scale(sws, src, srcStride, 0, sourceH, picture->frame.planes, picture->frame.strides);
  sws_freeContext(sws);
}
void BM_Swscale_1080p_to_1080p_NV12(benchmark::State& s) { swscaleWhole(s, 1920, 1080); }
void BM_Swscale_1440p_to_1080p_NV12(benchmark::State& s) { swscaleWhole(s, 2560, 1440); }
BENCHMARK(BM_Swscale_1080p_to_1080p_NV12)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Swscale_1440p_to_1080p_NV12)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

// A blinking caret or a small repaint: one 200 x 40 rectangle changed, at 1:1.
void BM_Convert_1080p_Damage200x40_NV12(benchmark::State& state) {
  Desktop desktop(1920, 1080);
  PictureConverter converter(1920, 1080, kPixelFormat420v, 2);
  converter.convert(desktop.view(), {}, nullptr, 0);
  converter.convert(desktop.view(), {}, nullptr, 0);
  const PixelRect damage{800, 500, 200, 40};
  for (auto _ : state) benchmark::DoNotOptimize(converter.convert(desktop.view(), {&damage, 1}, nullptr, 0));
}
BENCHMARK(BM_Convert_1080p_Damage200x40_NV12)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

// The pointer moved and nothing else: the cost is restoring and drawing the cursor.
void BM_Cursor_1080p_NV12(benchmark::State& state) {
  Desktop desktop(1920, 1080);
  auto arrow = arrowCursor();
  PictureConverter converter(1920, 1080, kPixelFormat420v, 2);
  converter.convert(desktop.view(), {}, nullptr, 0);
  int x = 0;
  for (auto _ : state) {
    x = (x + 7) % 1900;
    const CursorView cursor{arrow.data(), 24, 24, x, 500, 1};
    benchmark::DoNotOptimize(converter.convert(desktop.view(), {}, &cursor, 0));
  }
}
BENCHMARK(BM_Cursor_1080p_NV12)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

// libx264 at the settings the helper uses, on a desktop with a window moving across it.
void encodeFrames(benchmark::State& state, int fps) {
  H264EncoderFactory factory([](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); },
                             {.tryHardware = false});
  auto made = factory.create({1920, 1080, fps, 2000000});
  if (made.index() != 0) {
    state.SkipWithError("no encoder");
    return;
  }
  auto encoder = std::move(std::get<0>(made));
  Desktop desktop(1920, 1080);
  std::mt19937 rng(2);
  PictureConverter converter(1920, 1080, kPixelFormat420v, 16);
  std::vector<VideoFrame> frames;
  for (int i = 0; i < 16; ++i) {
    desktop.window(100 + i * 40, 200, 640, 400, rng);  // a window dragged to the right
    frames.push_back(*converter.convert(desktop.view(), {}, nullptr, 0));
    converter.invalidate();
  }
  size_t bytes = 0, n = 0;
  for (auto _ : state) {
    encoder->encode(frames[n++ % frames.size()], false, [&](auto, const EncodedFrame* f) {
      if (f) bytes += f->lengthPrefixedNALs.size();
    });
    encoder->completeFrames();
  }
  state.counters["kbit_per_frame"] = double(bytes) * 8 / 1000 / double(std::max<size_t>(n, 1));
}
void BM_Encode_x264_1080p10(benchmark::State& s) { encodeFrames(s, 10); }
void BM_Encode_x264_1080p30(benchmark::State& s) { encodeFrames(s, 30); }
BENCHMARK(BM_Encode_x264_1080p10)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Encode_x264_1080p30)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond);

// Opening an encoder: what START_VIDEO waits for (the candidate proves itself on a picture).
void BM_CreateEncoder_1080p(benchmark::State& state) {
  H264EncoderFactory factory(nullptr);
  for (auto _ : state) benchmark::DoNotOptimize(factory.create({1920, 1080, 30, 2000000}));
}
BENCHMARK(BM_CreateEncoder_1080p)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_Png_libpng_1080p(benchmark::State& state) {
  const Image image = Desktop(1920, 1080).image();
  PngImageEncoder encoder;
  size_t bytes = 0;
  for (auto _ : state) bytes = encoder.encodePNG(image)->size();
  state.counters["kB"] = double(bytes) / 1000;
}
BENCHMARK(BM_Png_libpng_1080p)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

// libspng with the same level, filters and row conversion, for the choice between the two.
void BM_Png_libspng_1080p(benchmark::State& state) {
  const Image image = Desktop(1920, 1080).image();
  size_t bytes = 0;
  std::vector<uint8_t> rgb(size_t(image.width) * 3);
  for (auto _ : state) {
    spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
    spng_ihdr ihdr{};
    ihdr.width = uint32_t(image.width);
    ihdr.height = uint32_t(image.height);
    ihdr.bit_depth = 8;
    ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR;
    spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
    spng_set_ihdr(ctx, &ihdr);
    spng_set_option(ctx, SPNG_IMG_COMPRESSION_LEVEL, 2);
    spng_set_option(ctx, SPNG_FILTER_CHOICE, SPNG_FILTER_CHOICE_SUB | SPNG_FILTER_CHOICE_UP);
    spng_encode_image(ctx, nullptr, 0, SPNG_FMT_PNG, SPNG_ENCODE_PROGRESSIVE | SPNG_ENCODE_FINALIZE);
    for (int y = 0; y < image.height; ++y) {
      libyuv::ARGBToRAW(image.bgra.data() + size_t(y) * size_t(image.stride), image.stride, rgb.data(), image.width * 3,
                        image.width, 1);
      spng_encode_row(ctx, rgb.data(), rgb.size());
    }
    size_t length = 0;
    int error = 0;
    std::free(spng_get_png_buffer(ctx, &length, &error));
    spng_ctx_free(ctx);
    bytes = length;
  }
  state.counters["kB"] = double(bytes) / 1000;
}
BENCHMARK(BM_Png_libspng_1080p)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
