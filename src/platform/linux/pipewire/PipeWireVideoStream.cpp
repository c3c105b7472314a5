#include "platform/linux/pipewire/PipeWireVideoStream.hpp"

#include <libyuv.h>
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/FramePacer.hpp"
#include "platform/linux/encode/PictureConverter.hpp"
#include "platform/linux/pipewire/StreamPixels.hpp"
#include "runtime/Clock.hpp"

namespace qb::pipewire {

namespace {

constexpr int kDamageRegions = 16;
constexpr int kCursorMaxSide = 256;
constexpr size_t cursorMetaSize(int side) {
  return sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + size_t(side) * size_t(side) * 4;
}
// Below this a buffer's pages are cheap to keep mapped.
constexpr size_t kReleasePagesAbove = 1 << 20;

void initPipeWire() {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

const char* formatName(uint32_t f) {
  switch (f) {
    case SPA_VIDEO_FORMAT_BGRx:
      return "BGRx";
    case SPA_VIDEO_FORMAT_BGRA:
      return "BGRA";
    case SPA_VIDEO_FORMAT_RGBx:
      return "RGBx";
    case SPA_VIDEO_FORMAT_RGBA:
      return "RGBA";
    default:
      return "unsupported";
  }
}

bool bytesOf(uint32_t format, CursorBytes* order) {
  switch (format) {
    case SPA_VIDEO_FORMAT_BGRx:
    case SPA_VIDEO_FORMAT_BGRA:
      *order = CursorBytes::bgra;
      return true;
    case SPA_VIDEO_FORMAT_RGBx:
    case SPA_VIDEO_FORMAT_RGBA:
      *order = CursorBytes::rgba;
      return true;
    case SPA_VIDEO_FORMAT_xRGB:
    case SPA_VIDEO_FORMAT_ARGB:
      *order = CursorBytes::argb;
      return true;
    case SPA_VIDEO_FORMAT_xBGR:
    case SPA_VIDEO_FORMAT_ABGR:
      *order = CursorBytes::abgr;
      return true;
    default:
      return false;
  }
}

}  // namespace

struct PipeWireVideoStream::Impl {
  Impl(uint32_t node, const Config& c, Handler h, const Clock& clk)
      : nodeId(node),
        config(c),
        handler(std::move(h)),
        clock(clk),
        converter(c.width, c.height, c.pixelFormat, c.pictures),
        pacer(c.minimumInterval) {
    converter.setSourceMoves(true);
  }

  const uint32_t nodeId;
  const Config config;
  const Handler handler;
  const Clock& clock;

  pw_thread_loop* loop = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  pw_registry* registry = nullptr;
  pw_stream* stream = nullptr;
  spa_source* timer = nullptr;
  spa_hook coreListener{};
  spa_hook registryListener{};
  spa_hook streamListener{};

  // Loop thread (or with the loop locked).
  bool opened = false;
  bool closing = false;
  bool streaming = false;
  bool ended = false;
  int64_t endCode = 0;
  std::string endWhy;
  uint32_t format = SPA_VIDEO_FORMAT_UNKNOWN;
  int width = 0;
  int height = 0;
  // The newest picture: the producer's buffer itself, kept until a newer one comes (B, G, R, x
  // formats), or a copy in B, G, R, x order (the others).
  pw_buffer* held = nullptr;
  const uint8_t* pixels = nullptr;
  int stride = 0;
  std::vector<uint8_t> copy;
  bool havePicture = false;
  PixelRect crop;
  DamageList toCopy{kDamageRegions};   // where the copy is older than the newest buffer
  DamageList changed{kDamageRegions};  // where the picture changed since the last one taken
  encode::PictureConverter converter;
  FramePacer pacer;
  bool timerArmed = false;
  struct Cursor {
    bool visible = false;
    int x = 0, y = 0;  // the hotspot, in the stream's coordinates
    int hotX = 0, hotY = 0;
    int width = 0, height = 0;
    std::vector<uint32_t> words;
    uint64_t serial = 0;
  } cursor;

  mutable std::mutex statsMutex;
  Stats stats;

  ~Impl() {
    if (loop) {
      pw_thread_loop_lock(loop);
      closing = true;
      if (stream) {
        if (held) pw_stream_queue_buffer(stream, std::exchange(held, nullptr));
        pw_stream_disconnect(stream);
        pw_stream_destroy(stream);
      }
      if (timer) pw_loop_destroy_source(pw_thread_loop_get_loop(loop), timer);
      if (registry) {
        spa_hook_remove(&registryListener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
      }
      if (core) {
        spa_hook_remove(&coreListener);
        pw_core_disconnect(core);
      }
      pw_thread_loop_unlock(loop);
      pw_thread_loop_stop(loop);
    }
    if (context) pw_context_destroy(context);
    if (loop) pw_thread_loop_destroy(loop);
  }

  void end(int64_t code, const std::string& why) {
    if (closing || std::exchange(ended, true)) return;
    if (timer) pw_loop_update_timer(pw_thread_loop_get_loop(loop), timer, nullptr, nullptr, false);
    if (!opened) {
      endCode = code;
      endWhy = why;
      pw_thread_loop_signal(loop, false);
      return;
    }
    if (handler.ended) handler.ended(code, why);
  }

  // ---- negotiation ----

  static void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
    auto* self = static_cast<Impl*>(data);
    if (id != SPA_PARAM_Format || !param) return;
    spa_video_info_raw info{};
    uint32_t mediaType = 0, mediaSubtype = 0;
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
        mediaSubtype != SPA_MEDIA_SUBTYPE_raw || spa_format_video_raw_parse(param, &info) < 0)
      return;
    self->format = info.format;
    self->width = int(info.size.width);
    self->height = int(info.size.height);
    self->release();
    self->copy.clear();
    if (!self->inProducerOrder()) self->copy.assign(size_t(self->width) * size_t(self->height) * 4, 0);
    self->havePicture = false;
    self->crop = {0, 0, self->width, self->height};
    {
      std::lock_guard lock(self->statsMutex);
      self->stats.width = self->width;
      self->stats.height = self->height;
      self->stats.format = formatName(info.format);
    }
    const int stride = self->width * 4;
    uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[5];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(4, 2, 16), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
        SPA_POD_Int(stride * self->height), SPA_PARAM_BUFFERS_stride, SPA_POD_Int(stride), SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
        SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
    params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoCrop),
        SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_region))));
    params[3] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoDamage),
        SPA_PARAM_META_size,
        SPA_POD_CHOICE_RANGE_Int(int(sizeof(spa_meta_region) * kDamageRegions), int(sizeof(spa_meta_region)),
                                 int(sizeof(spa_meta_region) * kDamageRegions))));
    params[4] = static_cast<const spa_pod*>(
        spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                                   SPA_POD_Id(SPA_META_Cursor), SPA_PARAM_META_size,
                                   SPA_POD_CHOICE_RANGE_Int(int(cursorMetaSize(64)), int(cursorMetaSize(1)),
                                                            int(cursorMetaSize(kCursorMaxSide)))));
    pw_stream_update_params(self->stream, params, 5);
  }

  static void onStateChanged(void* data, pw_stream_state old, pw_stream_state state, const char* error) {
    auto* self = static_cast<Impl*>(data);
    if (state == PW_STREAM_STATE_STREAMING) {
      self->streaming = true;
      if (!self->opened) pw_thread_loop_signal(self->loop, false);
    } else if (state == PW_STREAM_STATE_ERROR) {
      self->end(StreamErrorCode::kDisplayUnavailable,
                std::string("The screen-sharing stream failed: ") + (error ? error : "unknown error"));
    } else if (state == PW_STREAM_STATE_UNCONNECTED && old != PW_STREAM_STATE_UNCONNECTED) {
      self->end(StreamErrorCode::kDisplayUnavailable, "The screen-sharing stream was disconnected");
    }
  }

  static void onCoreError(void* data, uint32_t id, int, int res, const char* message) {
    auto* self = static_cast<Impl*>(data);
    if (id == PW_ID_CORE && res == -EPIPE)
      self->end(StreamErrorCode::kConnectionLost,
                std::string("The connection to PipeWire was lost: ") + (message ? message : ""));
  }

  static void onGlobal(void*, uint32_t, uint32_t, const char*, uint32_t, const spa_dict*) {}
  static void onGlobalRemove(void* data, uint32_t id) {
    auto* self = static_cast<Impl*>(data);
    if (id == self->nodeId)
      self->end(StreamErrorCode::kDisplayUnavailable, "The shared screen's PipeWire node went away");
  }

  // ---- buffers ----

  static void onProcess(void* data) { static_cast<Impl*>(data)->process(); }

  void process() {
    pw_buffer* newest = nullptr;
    bool cursorMoved = false;
    while (pw_buffer* b = pw_stream_dequeue_buffer(stream)) {
      spa_buffer* sb = b->buffer;
      cursorMoved |= readCursor(sb);
      if (!hasPixels(sb)) {
        pw_stream_queue_buffer(stream, b);
        continue;
      }
      readDamage(sb);
      if (newest) pw_stream_queue_buffer(stream, newest);
      newest = b;
    }
    if (newest && adopt(newest)) pacer.changed();
    if (cursorMoved && havePicture) pacer.changed();
    takePicture();
  }

  bool inProducerOrder() const { return format == SPA_VIDEO_FORMAT_BGRx || format == SPA_VIDEO_FORMAT_BGRA; }

  // Gives a buffer back to the producer, and the pages we read of it to the kernel: they are
  // the producer's memory, and pages read once would count as ours for good.
  void giveBack(pw_buffer* b, bool read) {
    const spa_data& d = b->buffer->datas[0];
    if (read && d.type == SPA_DATA_MemFd && d.data && d.maxsize > kReleasePagesAbove) {
      const auto page = uintptr_t(::sysconf(_SC_PAGESIZE));
      const auto start = reinterpret_cast<uintptr_t>(d.data);
      const auto first = (start + page - 1) / page * page, last = (start + d.maxsize) / page * page;
      if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
    }
    pw_stream_queue_buffer(stream, b);
  }
  void release() {
    if (held) giveBack(std::exchange(held, nullptr), true);
    pixels = nullptr;
  }

  static void onRemoveBuffer(void* data, pw_buffer* b) {
    auto* self = static_cast<Impl*>(data);
    if (b != self->held) return;
    self->held = nullptr;  // the buffer is going: the picture goes with it
    self->pixels = nullptr;
    self->havePicture = false;
  }

  bool hasPixels(spa_buffer* sb) const {
    if (sb->n_datas < 1 || !sb->datas[0].data || !sb->datas[0].chunk || sb->datas[0].chunk->size == 0) return false;
    auto* header =
        static_cast<spa_meta_header*>(spa_buffer_find_meta_data(sb, SPA_META_Header, sizeof(spa_meta_header)));
    return !(header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED));
  }

  // A buffer without damage metadata, or with none named, may differ anywhere.
  void readDamage(spa_buffer* sb) {
    spa_meta* meta = spa_buffer_find_meta(sb, SPA_META_VideoDamage);
    bool named = false;
    if (meta && havePicture) {
      {
        std::lock_guard lock(statsMutex);
        stats.damage = true;
      }
      spa_meta_region* r;
      spa_meta_for_each(r, meta) {
        if (!spa_meta_region_is_valid(r)) break;
        toCopy.add({r->region.position.x, r->region.position.y, int(r->region.size.width), int(r->region.size.height)},
                   width, height);
        named = true;
      }
    }
    if (!named) toCopy.addAll(width, height);
  }

  // Takes the newest buffer's picture; false (and the buffer given back) when it is not the
  // picture negotiated.
  bool adopt(pw_buffer* b) {
    const spa_data& d = b->buffer->datas[0];
    const int bufferStride = d.chunk->stride > 0 ? d.chunk->stride : width * 4;
    const size_t offset = d.chunk->offset % std::max<uint32_t>(d.maxsize, 1);
    const auto* base = static_cast<const uint8_t*>(d.data) + offset;
    const size_t needed = size_t(bufferStride) * size_t(height > 0 ? height - 1 : 0) + size_t(width) * 4;
    if (width <= 0 || height <= 0 || bufferStride < width * 4 || d.maxsize < offset + needed) {
      toCopy.clear();
      giveBack(b, false);
      return false;
    }
    auto* cropMeta = static_cast<spa_meta_region*>(
        spa_buffer_find_meta_data(b->buffer, SPA_META_VideoCrop, sizeof(spa_meta_region)));
    PixelRect area{0, 0, width, height};
    if (cropMeta && spa_meta_region_is_valid(cropMeta)) {
      const PixelRect c = intersect({cropMeta->region.position.x, cropMeta->region.position.y,
                                     int(cropMeta->region.size.width), int(cropMeta->region.size.height)},
                                    area);
      if (!c.empty()) area = c;
    }
    if (!(area == crop)) {
      crop = area;
      changed.addAll(width, height);
    }
    for (const auto& r : toCopy.rects()) changed.add(r, width, height);
    if (inProducerOrder()) {
      release();
      held = b;
      pixels = base;
      stride = bufferStride;
    } else {
      const int copyStride = width * 4;
      for (const auto& r : toCopy.rects())
        libyuv::ABGRToARGB(base + size_t(r.y) * size_t(bufferStride) + size_t(r.x) * 4, bufferStride,
                           copy.data() + size_t(r.y) * size_t(copyStride) + size_t(r.x) * 4, copyStride, r.width,
                           r.height);
      giveBack(b, true);
      pixels = copy.data();
      stride = copyStride;
    }
    toCopy.clear();
    havePicture = true;
    {
      std::lock_guard lock(statsMutex);
      ++stats.buffers;
    }
    return true;
  }

  // True when what the picture shows of the pointer changed.
  bool readCursor(spa_buffer* sb) {
    spa_meta* meta = spa_buffer_find_meta(sb, SPA_META_Cursor);
    if (!meta || meta->size < sizeof(spa_meta_cursor)) return false;
    auto* c = static_cast<spa_meta_cursor*>(meta->data);
    {
      std::lock_guard lock(statsMutex);
      stats.cursor = true;
    }
    if (!spa_meta_cursor_is_valid(c)) return std::exchange(cursor.visible, false);
    bool moved = !cursor.visible || cursor.x != c->position.x || cursor.y != c->position.y;
    cursor.visible = true;
    cursor.x = c->position.x;
    cursor.y = c->position.y;
    if (c->bitmap_offset >= sizeof(spa_meta_cursor) &&
        size_t(c->bitmap_offset) + sizeof(spa_meta_bitmap) <= size_t(meta->size)) {
      auto* bitmap = SPA_PTROFF(c, c->bitmap_offset, spa_meta_bitmap);
      CursorBytes order;
      const size_t at = size_t(c->bitmap_offset) + bitmap->offset;
      if (bitmap->size.width == 0 || bitmap->size.height == 0) {
        cursor.words.clear();  // an empty image: the pointer is hidden
      } else if (bitmap->offset >= sizeof(spa_meta_bitmap) && at < meta->size && bytesOf(bitmap->format, &order)) {
        cursor.words = cursorWords(order, SPA_PTROFF(bitmap, bitmap->offset, const uint8_t), meta->size - at,
                                   int(bitmap->size.width), int(bitmap->size.height), int(bitmap->stride));
      }
      cursor.width = cursor.words.empty() ? 0 : int(bitmap->size.width);
      cursor.height = cursor.words.empty() ? 0 : int(bitmap->size.height);
      cursor.hotX = c->hotspot.x;
      cursor.hotY = c->hotspot.y;
      ++cursor.serial;
      moved = true;
    }
    return moved;
  }

  // ---- pictures ----

  static void onTimer(void* data, uint64_t) {
    auto* self = static_cast<Impl*>(data);
    self->timerArmed = false;
    self->takePicture();
  }

  void arm() {
    auto due = pacer.due();
    if (!due || ended) return;
    const double delay = std::max(*due - clock.uptime(), 1e-6);
    timespec value{time_t(delay), long(std::fmod(delay, 1.0) * 1e9)};
    timespec interval{0, 0};
    pw_loop_update_timer(pw_thread_loop_get_loop(loop), timer, &value, &interval, false);
    timerArmed = true;
  }

  void takePicture() {
    if (!havePicture || !pixels || !pacer.pending() || ended) return;
    const double now = clock.uptime();
    if (!pacer.isDue(now)) return arm();
    if (!converter.hasFreePicture()) {
      {
        std::lock_guard lock(statsMutex);
        ++stats.skipped;
      }
      pacer.skipped(now);
      return arm();
    }
    encode::BgraView view{pixels + size_t(crop.y) * size_t(stride) + size_t(crop.x) * 4, stride, crop.width,
                          crop.height};
    encode::CursorView pointer;
    const bool drawPointer = cursor.visible && !cursor.words.empty();
    if (drawPointer)
      pointer = {cursor.words.data(),    cursor.width,           cursor.height,
                 cursor.x - cursor.hotX, cursor.y - cursor.hotY, cursor.serial};
    const auto damage = changed.within(crop);
    changed.clear();
    auto frame = converter.convert(view, damage, drawPointer ? &pointer : nullptr, now);
    if (!frame) {
      pacer.skipped(now);
      return arm();
    }
    pacer.taken(now);
    {
      std::lock_guard lock(statsMutex);
      ++stats.pictures;
    }
    if (handler.picture) handler.picture(*frame);
  }
};

PipeWireVideoStream::PipeWireVideoStream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PipeWireVideoStream::~PipeWireVideoStream() = default;

PipeWireVideoStream::Stats PipeWireVideoStream::stats() const {
  std::lock_guard lock(impl_->statsMutex);
  return impl_->stats;
}

std::unique_ptr<PipeWireVideoStream> PipeWireVideoStream::open(UniqueFd pipewire, uint32_t nodeId, const Config& config,
                                                               Handler handler, const Clock& clock, double timeout,
                                                               std::string* why) {
  initPipeWire();
  auto impl = std::make_unique<Impl>(nodeId, config, std::move(handler), clock);
  auto fail = [&](const std::string& reason) -> std::unique_ptr<PipeWireVideoStream> {
    if (why) *why = reason;
    return nullptr;  // impl's destructor takes down whatever was made
  };
  Impl& s = *impl;
  s.loop = pw_thread_loop_new("qb-pipewire", nullptr);
  if (!s.loop) return fail("Cannot create a PipeWire loop");
  // PipeWire locks the buffers it maps, which would keep every page of every buffer resident
  // for good: ours are read once a picture and given back.
  s.context =
      pw_context_new(pw_thread_loop_get_loop(s.loop), pw_properties_new("mem.allow-mlock", "false", nullptr), 0);
  if (!s.context) return fail("Cannot create a PipeWire context");
  if (pw_thread_loop_start(s.loop) < 0) return fail("Cannot start the PipeWire loop");

  static const pw_core_events coreEvents = [] {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.error = Impl::onCoreError;
    return e;
  }();
  static const pw_registry_events registryEvents = [] {
    pw_registry_events e{};
    e.version = PW_VERSION_REGISTRY_EVENTS;
    e.global = Impl::onGlobal;
    e.global_remove = Impl::onGlobalRemove;
    return e;
  }();
  static const pw_stream_events streamEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = Impl::onStateChanged;
    e.param_changed = Impl::onParamChanged;
    e.process = Impl::onProcess;
    e.remove_buffer = Impl::onRemoveBuffer;
    return e;
  }();

  pw_thread_loop_lock(s.loop);
  std::string error;
  s.core = pw_context_connect_fd(s.context, pipewire.release(), nullptr, 0);
  if (!s.core) error = std::string("Cannot connect to PipeWire: ") + std::strerror(errno);
  if (error.empty()) {
    pw_core_add_listener(s.core, &s.coreListener, &coreEvents, &s);
    s.registry = pw_core_get_registry(s.core, PW_VERSION_REGISTRY, 0);
    if (s.registry) pw_registry_add_listener(s.registry, &s.registryListener, &registryEvents, &s);
    s.timer = pw_loop_add_timer(pw_thread_loop_get_loop(s.loop), Impl::onTimer, &s);
    s.stream = pw_stream_new(s.core, "quellbrook screen",
                             pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                               PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    if (!s.stream) error = std::string("Cannot create a PipeWire stream: ") + std::strerror(errno);
  }
  if (error.empty()) {
    pw_stream_add_listener(s.stream, &s.streamListener, &streamEvents, &s);
    uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_rectangle preferred{uint32_t(config.width), uint32_t(config.height)}, smallest{1, 1}, largest{16384, 16384};
    const spa_pod* format = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                               SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&preferred, &smallest, &largest)));
    // Never moved to another node: when this one goes, the capture ends.
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                                    PW_STREAM_FLAG_DONT_RECONNECT);
    const int r = pw_stream_connect(s.stream, PW_DIRECTION_INPUT, nodeId, flags, &format, 1);
    if (r < 0) error = std::string("Cannot connect to the screen's PipeWire node: ") + std::strerror(-r);
  }
  s.pacer.start();
  if (error.empty()) {
    timespec until{};
    pw_thread_loop_get_time(s.loop, &until, int64_t(timeout * 1e9));
    while (!s.streaming && !s.ended)
      if (pw_thread_loop_timed_wait_full(s.loop, &until) != 0) break;
    if (s.ended)
      error = s.endWhy;
    else if (!s.streaming)
      error = "The screen's PipeWire node did not start streaming within " + std::to_string(int(timeout)) + " s";
  }
  if (error.empty()) s.opened = true;
  pw_thread_loop_unlock(s.loop);
  if (!error.empty()) return fail(error);
  return std::unique_ptr<PipeWireVideoStream>(new PipeWireVideoStream(std::move(impl)));
}

}  // namespace qb::pipewire
