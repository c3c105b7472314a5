// qb-test-portal: the desktop's screen-sharing side, for tests on a machine without a desktop.
// It implements the ScreenCast and Screenshot backends behind the real portal frontend
// (xdg-desktop-portal) on the session bus, and publishes each shared screen as a PipeWire video
// node in shared memory whose picture the test controls.
//
//   qb-test-portal [--output NAME:WxH]... [--window WxH] [--shots DIR] [--cursor-modes N]
//
// Sources: the outputs (default HEADLESS-1:1920x1080), side by side from x = 0, and one window
// ("window", default 800x600). Bus name org.freedesktop.impl.portal.desktop.qbtest. Each started
// cast gets a node of its own (media class Video/Source; BGRx or BGRA at the source's size,
// variable frame rate up to 60 fps; header pts on CLOCK_MONOTONIC; damage regions; the pointer
// drawn in or as cursor metadata, as the session asked). A node sends a picture when a consumer
// starts streaming from it and whenever its picture changes, never otherwise. Restore data names
// the source; with persist_mode the grant returns it, and the frontend turns it into a token.
// The cursor modes offered (1 hidden, 2 embedded, 4 metadata; default all) are read by the
// frontend once, when it starts.
//
// Tests steer it with org.quellbrook.TestPortal.Control(s command) -> s answer on
// /org/quellbrook/TestPortal (or `scripts/test-env portal COMMAND...`). The answer is "ok", the
// status line, or "error: <why>".
//   chooser grant [SOURCE]  the chooser shares SOURCE (an output's name or "window"; default the
//                           first output for a monitor request, the window for a window request)
//   chooser cancel          the user cancels the chooser (response 1)
//   chooser wait            the chooser stays open until "answer" or until its request is closed
//   answer grant|cancel     answers the open choosers
//   tokens honour|refuse    whether restore data skips the chooser (refused: the chooser shows)
//   screenshot allow|deny   whether Screenshot succeeds (deny: response 2)
//   pixels BGRx|RGBx        the byte order of the nodes started from now on: BGRx offers BGRx or
//                           BGRA (the default), RGBx offers RGBx or RGBA
//   paint RRGGBB [SOURCE]   a solid picture of that colour on every source, or on one
//                           (the default is 2080C0)
//   animate FPS             a white square slides across the picture FPS times a second
//   counter MIN_MS MAX_MS FILE   the counter code of tools/lib/TestPictures.hpp over the whole
//                           picture, the next number at random moments; the first buffer queued
//                           with each number appends "paint N SECONDS" (CLOCK_MONOTONIC) to FILE
//   still                   ends animate and counter
//   pointer X Y | pointer none   where the pointer is on every source (16x16, hotspot 0,0)
//   window NAME WxH         one more window to share (the chooser grants it by its name)
//   resize SOURCE W H       a new size: the source's nodes offer it, their consumers negotiate
//   hide SOURCE | show SOURCE   a minimised window: its nodes send nothing until shown again
//   remove SOURCE           the window closes or the output goes: the sessions sharing it close
//   remove-node             destroys every node as a crashing compositor would; sessions stay
//   close-session           closes every session as the desktop does (the Closed signal)
//   reset                   default settings, sources and picture, counts to zero (sessions stay)
//   status                  "sessions=N nodes=N node_ids=ID,... streaming=N choosers=N restored=N
//                           screenshots=N": open sessions, nodes, nodes a consumer streams from,
//                           choosers shown, grants restored without one, screenshots taken
#include <fcntl.h>
#include <png.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>
#include <time.h>
#include <unistd.h>

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "TestPictures.hpp"

namespace {

constexpr const char* kBusName = "org.freedesktop.impl.portal.desktop.qbtest";
constexpr const char* kVendor = "qbtest";
constexpr uint32_t kMonitor = 1, kWindow = 2;
constexpr uint32_t kCursorEmbedded = 2, kCursorMetadata = 4;
constexpr int kCursor = 16;  // the pointer's side
constexpr int kMaxRegions = 16;

uint64_t monotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

void note(const char* format, const std::string& what) {
  std::fprintf(stderr, "qb-test-portal: ");
  std::fprintf(stderr, format, what.c_str());
  std::fputc('\n', stderr);
}

struct MessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
struct SlotUnref {
  void operator()(sd_bus_slot* s) const { sd_bus_slot_unref(s); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;
using Slot = std::unique_ptr<sd_bus_slot, SlotUnref>;

struct Source {
  std::string name;
  uint32_t type;
  int x, y, width, height;
  uint32_t colour = 0x2080C0;  // 0xRRGGBB
  bool hidden = false;         // a minimised window: its nodes send nothing
};

struct Rect {
  int x, y, w, h;
};

// What a source shows, drawn at its size: its colour, and what every source shows alike.
struct Scene {
  enum class Mode { Still, Animate, Counter };
  uint32_t colour = 0;
  Mode mode = Mode::Still;
  uint16_t counter = 0;
  int step = 0;  // of the animation
  std::optional<std::pair<int, int>> pointer;
  bool operator==(const Scene&) const = default;
};

Rect square(const Scene& s, int w, int h) {
  const int side = std::max(1, h / 4);
  return {s.step * 8 % std::max(1, w - side), (h - side) / 2, side, side};
}

Rect pointerRect(const Scene& s) { return {s.pointer->first, s.pointer->second, kCursor, kCursor}; }

// The pointer: white with a black rim, opaque.
uint32_t pointerPixel(int x, int y) {
  return x == 0 || y == 0 || x == kCursor - 1 || y == kCursor - 1 ? 0xFF000000 : 0xFFFFFFFF;
}

// Pixels are BGRx/BGRA in memory: little-endian 0xAARRGGBB; RGBx/RGBA swap red and blue.
uint32_t inOrder(uint32_t rgb, bool rgbOrder) {
  return rgbOrder ? (rgb & 0xFF00FF00) | (rgb >> 16 & 0xFF) | (rgb & 0xFF) << 16 : rgb;
}

void fill(uint8_t* pixels, int stride, int w, int h, Rect r, uint32_t rgb) {
  const int x0 = std::max(r.x, 0), x1 = std::min(r.x + r.w, w);
  for (int y = std::max(r.y, 0); y < std::min(r.y + r.h, h) && x0 < x1; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(pixels + size_t(y) * stride);
    std::fill(row + x0, row + x1, 0xFF000000 | rgb);
  }
}

// The counter, the square and the pointer are black and white, the same in either order.
void draw(uint8_t* pixels, int stride, int w, int h, const Scene& s, bool withPointer, bool rgbOrder) {
  namespace tp = qb::testpictures;
  if (s.mode == Scene::Mode::Counter) {
    for (int r = 0; r < tp::kCodeRows; ++r) {
      for (int c = 0; c < tp::kCodeColumns; ++c) {
        const tp::CellBounds b = tp::codeCell(w, h, c, r);
        fill(pixels, stride, w, h, {b.x0, b.y0, b.x1 - b.x0, b.y1 - b.y0},
             tp::codeCellIsWhite(s.counter, c, r) ? 0xFFFFFF : 0);
      }
    }
  } else {
    fill(pixels, stride, w, h, {0, 0, w, h}, inOrder(s.colour, rgbOrder));
  }
  if (s.mode == Scene::Mode::Animate) fill(pixels, stride, w, h, square(s, w, h), 0xFFFFFF);
  if (!withPointer || !s.pointer) return;
  const auto [px, py] = *s.pointer;
  for (int y = std::max(py, 0); y < std::min(py + kCursor, h); ++y) {
    for (int x = std::max(px, 0); x < std::min(px + kCursor, w); ++x) {
      reinterpret_cast<uint32_t*>(pixels + size_t(y) * stride)[x] = pointerPixel(x - px, y - py);
    }
  }
}

// Where `now` differs from `before`, clipped to the picture.
std::vector<Rect> damage(const std::optional<Scene>& before, const Scene& now, int w, int h, bool withPointer) {
  std::vector<Rect> out;
  if (!before || before->colour != now.colour || before->mode != now.mode || before->counter != now.counter) {
    out.push_back({0, 0, w, h});
  } else {
    if (now.mode == Scene::Mode::Animate && before->step != now.step) {
      out.push_back(square(*before, w, h));
      out.push_back(square(now, w, h));
    }
    if (withPointer && before->pointer != now.pointer) {
      if (before->pointer) out.push_back(pointerRect(*before));
      if (now.pointer) out.push_back(pointerRect(now));
    }
  }
  std::vector<Rect> clipped;
  for (Rect r : out) {
    const int x0 = std::max(r.x, 0), y0 = std::max(r.y, 0);
    const int x1 = std::min(r.x + r.w, w), y1 = std::min(r.y + r.h, h);
    if (x0 < x1 && y0 < y1) clipped.push_back({x0, y0, x1 - x0, y1 - y0});
  }
  return clipped;
}

bool parseSize(const std::string& text, int& w, int& h) {
  return std::sscanf(text.c_str(), "%dx%d", &w, &h) == 2 && w > 0 && h > 0 && w <= 8192 && h <= 8192;
}

bool isColour(const std::string& text) {
  return text.size() == 6 && text.find_first_not_of("0123456789abcdefABCDEF") == text.npos;
}

// Replies (response, {}) to a portal call.
int replyEmpty(sd_bus_message* call, uint32_t response) {
  return sd_bus_reply_method_return(call, "ua{sv}", response, 0);
}

// What a node offers: BGRx or BGRA (or RGBx or RGBA) at the source's size, as often as it changes
// up to 60 fps.
const spa_pod* videoFormat(spa_pod_builder& b, const Source& source, bool rgbOrder) {
  const uint32_t x = rgbOrder ? SPA_VIDEO_FORMAT_RGBx : SPA_VIDEO_FORMAT_BGRx;
  const uint32_t a = rgbOrder ? SPA_VIDEO_FORMAT_RGBA : SPA_VIDEO_FORMAT_BGRA;
  const spa_rectangle size{uint32_t(source.width), uint32_t(source.height)};
  const spa_fraction variable{0, 1}, most{60, 1}, least{1, 1};
  return static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(3, x, x, a), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate,
      SPA_POD_Fraction(&variable), SPA_FORMAT_VIDEO_maxFramerate, SPA_POD_CHOICE_RANGE_Fraction(&most, &least, &most)));
}

class Portal;
struct Session;

// One shared source as a PipeWire node.
class Node {
 public:
  Node(Portal& portal, Session& session, const Source& source, uint32_t cursorMode);
  ~Node() {
    if (stream_) pw_stream_destroy(stream_);
  }
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  // Queues `scene` unless the consumer already has it; false when no buffer was free.
  bool show(const Scene& scene);
  // The source's new size, offered to the consumer, which negotiates again.
  void resize(int width, int height);
  void forget() { shown_.reset(); }

  Session& session;
  Source source;
  uint32_t id = SPA_ID_INVALID;
  bool streaming = false;

 private:
  static void onState(void* self, pw_stream_state, pw_stream_state state, const char* error);
  static void onParam(void* self, uint32_t id, const spa_pod* param);
  static void onAddBuffer(void* self, pw_buffer* buffer);
  static void onRemoveBuffer(void* self, pw_buffer* buffer);
  static constexpr pw_stream_events kEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = onState;
    e.param_changed = onParam;
    e.add_buffer = onAddBuffer;
    e.remove_buffer = onRemoveBuffer;
    return e;
  }();

  Portal& portal_;
  const uint32_t cursorMode_;
  const bool rgbOrder_;  // the test's byte order when the node was started
  pw_stream* stream_ = nullptr;
  spa_hook listener_{};
  int stride_ = 0;
  bool negotiating_ = false;
  uint32_t seq_ = 0;
  std::optional<Scene> shown_;
};

struct Session {
  std::string path;
  uint32_t types = kMonitor;
  uint32_t cursorMode = 1;
  uint32_t persistMode = 0;
  std::string restore;  // the source named by restore data
  std::string handle;   // of the pending Start's request
  bool closed = false;
  Slot object;
  Message pendingStart;  // answered once its node has an id, or the chooser answers
  Slot request;          // the open chooser's request object
  std::vector<std::unique_ptr<Node>> nodes;
};

class Portal {
 public:
  Portal(sd_event* event, sd_bus* bus, pw_core* core, std::vector<Source> sources, std::string shots,
         uint32_t cursorModes)
      : event_(event),
        bus_(bus),
        core_(core),
        initial_(sources),
        sources_(std::move(sources)),
        shots_(std::move(shots)),
        cursorModes_(cursorModes) {}
  ~Portal() {
    if (ticker_) sd_event_source_unref(ticker_);
    if (retry_) sd_event_source_unref(retry_);
    if (reaper_) sd_event_source_unref(reaper_);
  }

  int start();
  pw_core* core() const { return core_; }
  void nodeReady(Node& node);
  void nodeFailed(Node& node);
  void update();
  void later() {
    arm(retry_, 5000, [](sd_event_source*, uint64_t, void* self) { return static_cast<Portal*>(self)->update(), 0; });
  }

 private:
  static const sd_bus_vtable kScreenCast[], kScreenshot[], kAccess[], kControl[], kSession[], kRequest[];
  static int createSession(sd_bus_message* m, void* self, sd_bus_error*);
  static int selectSources(sd_bus_message* m, void* self, sd_bus_error*);
  static int startCast(sd_bus_message* m, void* self, sd_bus_error*);
  static int screenshot(sd_bus_message* m, void* self, sd_bus_error*);
  static int accessDialog(sd_bus_message* m, void* self, sd_bus_error*) {
    return replyEmpty(m, static_cast<Portal*>(self)->allowScreenshots_ ? 0 : 1);
  }
  static int control(sd_bus_message* m, void* self, sd_bus_error*);
  static int closeSession(sd_bus_message* m, void* self, sd_bus_error*);
  static int closeRequest(sd_bus_message* m, void* self, sd_bus_error*);
  static int property(sd_bus*, const char*, const char* iface, const char* name, sd_bus_message* reply, void*,
                      sd_bus_error*);

  std::string command(const std::string& line);
  std::string status() const;
  const Source* find(const std::string& name, uint32_t types) const;
  Source* source(const std::string& name) { return const_cast<Source*>(find(name, kMonitor | kWindow)); }
  void grant(Session& s, const Source& source);
  void answer(Session& s, uint32_t response);
  void close(Session& s, bool signal);
  void reap();
  void tick();
  void arm(sd_event_source*& source, uint64_t delayUs, sd_event_time_handler_t handler);
  bool screenshotTo(const std::string& path) const;

  sd_event* event_;
  sd_bus* bus_;
  pw_core* core_;
  const std::vector<Source> initial_;
  std::vector<Source> sources_;
  std::string shots_;
  const uint32_t cursorModes_;
  std::map<std::string, std::unique_ptr<Session>> sessions_;
  sd_event_source* ticker_ = nullptr;
  sd_event_source* retry_ = nullptr;
  sd_event_source* reaper_ = nullptr;
  std::mt19937 random_{std::random_device{}()};

  // What the test set.
  enum class Chooser { Grant, Cancel, Wait } chooser_ = Chooser::Grant;
  std::string chosen_;
  bool honourTokens_ = true, allowScreenshots_ = true, rgbOrder_ = false;
  Scene scene_;
  int fps_ = 30, counterMinMs_ = 30, counterMaxMs_ = 200;
  std::string paintLog_;
  uint16_t logged_ = 0;
  int choosers_ = 0, restored_ = 0, screenshots_ = 0;

  friend class Node;
  void painted(uint16_t counter);
};

Node::Node(Portal& portal, Session& s, const Source& source, uint32_t cursorMode)
    : session(s), source(source), portal_(portal), cursorMode_(cursorMode), rgbOrder_(portal.rgbOrder_) {
  stream_ = pw_stream_new(portal.core(), ("qb-test-portal " + source.name).c_str(),
                          pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", nullptr));
  if (!stream_) return;
  pw_stream_add_listener(stream_, &listener_, &kEvents, this);
  uint8_t storage[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  const spa_pod* format = videoFormat(b, source, rgbOrder_);
  pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                    pw_stream_flags(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_ALLOC_BUFFERS), &format, 1);
}

void Node::resize(int width, int height) {
  source.width = width;
  source.height = height;
  shown_.reset();
  negotiating_ = true;  // until buffers of the new size come
  uint8_t storage[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  const spa_pod* format = videoFormat(b, source, rgbOrder_);
  pw_stream_update_params(stream_, &format, 1);
}

void Node::onState(void* self, pw_stream_state, pw_stream_state state, const char* error) {
  auto& node = *static_cast<Node*>(self);
  node.streaming = state == PW_STREAM_STATE_STREAMING;
  if (state == PW_STREAM_STATE_ERROR) {
    note("node failed: %s", error ? error : "?");
    node.portal_.nodeFailed(node);
  } else if (state == PW_STREAM_STATE_PAUSED && node.id == SPA_ID_INVALID) {
    node.id = pw_stream_get_node_id(node.stream_);
    node.portal_.nodeReady(node);
  } else if (node.streaming) {
    node.shown_.reset();  // a new consumer has seen nothing yet
    node.portal_.update();
  }
}

void Node::onParam(void* self, uint32_t id, const spa_pod* param) {
  auto& node = *static_cast<Node*>(self);
  if (!param || id != SPA_PARAM_Format) return;
  node.stride_ = node.source.width * 4;
  uint8_t storage[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  const spa_pod* params[4];
  uint32_t n = 0;
  params[n++] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
      SPA_POD_CHOICE_RANGE_Int(8, 2, 16), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
      SPA_POD_Int(node.stride_ * node.source.height), SPA_PARAM_BUFFERS_stride, SPA_POD_Int(node.stride_),
      SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int(1 << SPA_DATA_MemFd)));
  params[n++] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
      SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
  params[n++] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoDamage),
      SPA_PARAM_META_size,
      SPA_POD_CHOICE_RANGE_Int(sizeof(spa_meta_region) * kMaxRegions, sizeof(spa_meta_region),
                               sizeof(spa_meta_region) * kMaxRegions)));
  if (node.cursorMode_ == kCursorMetadata) {
    params[n++] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
        SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + kCursor * kCursor * 4)));
  }
  pw_stream_update_params(node.stream_, params, n);
}

void Node::onAddBuffer(void* self, pw_buffer* buffer) {
  auto& node = *static_cast<Node*>(self);
  spa_data& d = buffer->buffer->datas[0];
  d.type = SPA_DATA_MemFd;
  d.flags = SPA_DATA_FLAG_READWRITE;
  d.fd = memfd_create("qb-test-portal", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  d.mapoffset = 0;
  d.maxsize = uint32_t(node.stride_ * node.source.height);
  d.data = nullptr;
  if (d.fd < 0 || ftruncate(d.fd, d.maxsize) < 0) return note("no buffer memory: %s", std::strerror(errno));
  fcntl(d.fd, F_ADD_SEALS, F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL);
  void* p = mmap(nullptr, d.maxsize, PROT_READ | PROT_WRITE, MAP_SHARED, d.fd, 0);
  d.data = p == MAP_FAILED ? nullptr : p;
  if (std::exchange(node.negotiating_, false)) node.portal_.later();
}

void Node::onRemoveBuffer(void*, pw_buffer* buffer) {
  spa_data& d = buffer->buffer->datas[0];
  if (d.data) munmap(d.data, d.maxsize);
  if (d.fd >= 0) ::close(int(d.fd));
}

bool Node::show(const Scene& scene) {
  if (!streaming || negotiating_ || shown_ == scene) return true;
  pw_buffer* b = pw_stream_dequeue_buffer(stream_);
  if (!b) return false;
  spa_buffer* buf = b->buffer;
  const int w = source.width, h = source.height;
  auto* pixels = buf->datas[0].maxsize >= uint32_t(stride_ * h) ? static_cast<uint8_t*>(buf->datas[0].data) : nullptr;
  const bool embedded = cursorMode_ == kCursorEmbedded;
  if (pixels) draw(pixels, stride_, w, h, scene, embedded, rgbOrder_);
  spa_meta* m = spa_buffer_find_meta(buf, SPA_META_VideoDamage);
  if (m && m->size >= sizeof(spa_meta_region)) {
    auto* r = static_cast<spa_meta_region*>(spa_meta_first(m));
    const size_t room = m->size / sizeof(spa_meta_region);
    std::vector<Rect> rects = damage(shown_, scene, w, h, embedded);
    if (rects.size() >= room) rects = {{0, 0, w, h}};  // too many to name with the end mark
    for (Rect d : rects) *r++ = {SPA_REGION(d.x, d.y, uint32_t(d.w), uint32_t(d.h))};
    if (rects.size() < room) r->region = SPA_REGION(0, 0, 0, 0);
  }
  if (auto* c =
          static_cast<spa_meta_cursor*>(spa_buffer_find_meta_data(buf, SPA_META_Cursor, sizeof(spa_meta_cursor)))) {
    c->id = scene.pointer ? 1 : 0;
    if (scene.pointer) {
      c->position = SPA_POINT(scene.pointer->first, scene.pointer->second);
      c->hotspot = SPA_POINT(0, 0);
      c->bitmap_offset = sizeof(spa_meta_cursor);
      auto* bitmap = SPA_PTROFF(c, c->bitmap_offset, spa_meta_bitmap);
      bitmap->format = SPA_VIDEO_FORMAT_BGRA;
      bitmap->size = SPA_RECTANGLE(kCursor, kCursor);
      bitmap->stride = kCursor * 4;
      bitmap->offset = sizeof(spa_meta_bitmap);
      auto* argb = SPA_PTROFF(bitmap, bitmap->offset, uint32_t);
      for (int i = 0; i < kCursor * kCursor; ++i) argb[i] = pointerPixel(i % kCursor, i / kCursor);
    }
  }
  buf->datas[0].chunk->offset = 0;
  buf->datas[0].chunk->size = pixels ? uint32_t(stride_ * h) : 0;
  buf->datas[0].chunk->stride = stride_;
  if (auto* header =
          static_cast<spa_meta_header*>(spa_buffer_find_meta_data(buf, SPA_META_Header, sizeof(spa_meta_header)))) {
    header->flags = 0;
    header->seq = seq_++;
    header->dts_offset = 0;
    header->pts = int64_t(monotonicNs());
  }
  if (scene.mode == Scene::Mode::Counter) portal_.painted(scene.counter);
  pw_stream_queue_buffer(stream_, b);
  shown_ = scene;
  return true;
}

// Calls `read(key)` at each entry of an a{sv}, positioned at its variant; skips the entries it
// leaves (returns false for).
template <class Read>
int readOptions(sd_bus_message* m, Read&& read) {
  int r = sd_bus_message_enter_container(m, 'a', "{sv}");
  while (r >= 0 && (r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    const char* key = nullptr;
    if ((r = sd_bus_message_read(m, "s", &key)) < 0) break;
    if (!read(std::string(key))) r = sd_bus_message_skip(m, "v");
    if (r >= 0) r = sd_bus_message_exit_container(m);
  }
  return r < 0 ? r : sd_bus_message_exit_container(m);
}

const sd_bus_vtable Portal::kScreenCast[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("CreateSession", "oosa{sv}", "ua{sv}", Portal::createSession, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("SelectSources", "oosa{sv}", "ua{sv}", Portal::selectSources, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Start", "oossa{sv}", "ua{sv}", Portal::startCast, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_PROPERTY("AvailableSourceTypes", "u", Portal::property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("AvailableCursorModes", "u", Portal::property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("version", "u", Portal::property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END};
const sd_bus_vtable Portal::kScreenshot[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Screenshot", "ossa{sv}", "ua{sv}", Portal::screenshot, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_PROPERTY("version", "u", Portal::property, 0, SD_BUS_VTABLE_PROPERTY_CONST), SD_BUS_VTABLE_END};
// The frontend offers Screenshot only beside an access dialog, which stands for the user here.
const sd_bus_vtable Portal::kAccess[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("AccessDialog", "osssssa{sv}", "ua{sv}", Portal::accessDialog, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};
const sd_bus_vtable Portal::kControl[] = {
    SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Control", "s", "s", Portal::control, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};
const sd_bus_vtable Portal::kSession[] = {
    SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Close", "", "", Portal::closeSession, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("Closed", "", 0), SD_BUS_PROPERTY("version", "u", Portal::property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END};
const sd_bus_vtable Portal::kRequest[] = {
    SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Close", "", "", Portal::closeRequest, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

int Portal::start() {
  const char* path = "/org/freedesktop/portal/desktop";
  int r = sd_bus_add_object_vtable(bus_, nullptr, path, "org.freedesktop.impl.portal.ScreenCast", kScreenCast, this);
  if (r >= 0)
    r = sd_bus_add_object_vtable(bus_, nullptr, path, "org.freedesktop.impl.portal.Screenshot", kScreenshot, this);
  if (r >= 0) r = sd_bus_add_object_vtable(bus_, nullptr, path, "org.freedesktop.impl.portal.Access", kAccess, this);
  if (r >= 0)
    r = sd_bus_add_object_vtable(bus_, nullptr, "/org/quellbrook/TestPortal", "org.quellbrook.TestPortal", kControl,
                                 this);
  if (r >= 0) r = sd_bus_request_name(bus_, kBusName, 0);
  return r;
}

int Portal::property(sd_bus*, const char*, const char* iface, const char* name, sd_bus_message* reply, void* self,
                     sd_bus_error*) {
  uint32_t value = 1;
  if (!std::strcmp(name, "AvailableSourceTypes")) value = kMonitor | kWindow;
  if (!std::strcmp(name, "AvailableCursorModes")) value = static_cast<Portal*>(self)->cursorModes_;
  if (!std::strcmp(name, "version") && std::strstr(iface, "ScreenCast")) value = 4;
  return sd_bus_message_append(reply, "u", value);
}

int Portal::createSession(sd_bus_message* m, void* self, sd_bus_error*) {
  auto& p = *static_cast<Portal*>(self);
  const char *handle, *path, *app;
  int r = sd_bus_message_read(m, "oos", &handle, &path, &app);
  if (r < 0) return r;
  auto s = std::make_unique<Session>();
  s->path = path;
  sd_bus_slot* slot = nullptr;
  r = sd_bus_add_object_vtable(p.bus_, &slot, path, "org.freedesktop.impl.portal.Session", kSession, &p);
  if (r < 0) return r;
  s->object.reset(slot);
  p.sessions_[path] = std::move(s);
  return replyEmpty(m, 0);
}

int Portal::selectSources(sd_bus_message* m, void* self, sd_bus_error*) {
  auto& p = *static_cast<Portal*>(self);
  const char *handle, *path, *app;
  int r = sd_bus_message_read(m, "oos", &handle, &path, &app);
  if (r < 0) return r;
  auto it = p.sessions_.find(path);
  if (it == p.sessions_.end() || it->second->closed) return replyEmpty(m, 2);
  Session& s = *it->second;
  r = readOptions(m, [&](const std::string& key) {
    if (key == "types") return sd_bus_message_read(m, "v", "u", &s.types) >= 0;
    if (key == "cursor_mode") return sd_bus_message_read(m, "v", "u", &s.cursorMode) >= 0;
    if (key == "persist_mode") return sd_bus_message_read(m, "v", "u", &s.persistMode) >= 0;
    if (key != "restore_data" || sd_bus_message_enter_container(m, 'v', "(suv)") <= 0) return false;
    const char *vendor = "", *data = "";
    uint32_t version = 0;
    if (sd_bus_message_enter_container(m, 'r', "suv") > 0 && sd_bus_message_read(m, "su", &vendor, &version) >= 0 &&
        sd_bus_message_read(m, "v", "s", &data) >= 0 && std::string(vendor) == kVendor)
      s.restore = data;
    sd_bus_message_exit_container(m);
    sd_bus_message_exit_container(m);
    return true;
  });
  return r < 0 ? r : replyEmpty(m, 0);
}

const Source* Portal::find(const std::string& name, uint32_t types) const {
  for (const Source& s : sources_) {
    if ((s.type & types) && (name.empty() || s.name == name)) return &s;
  }
  return nullptr;
}

int Portal::startCast(sd_bus_message* m, void* self, sd_bus_error*) {
  auto& p = *static_cast<Portal*>(self);
  const char *handle, *path, *app, *parent;
  int r = sd_bus_message_read(m, "ooss", &handle, &path, &app, &parent);
  if (r < 0) return r;
  auto it = p.sessions_.find(path);
  if (it == p.sessions_.end() || it->second->closed || it->second->pendingStart) return replyEmpty(m, 2);
  Session& s = *it->second;
  s.pendingStart.reset(sd_bus_message_ref(m));
  s.handle = handle;
  const Source* restored = s.restore.empty() ? nullptr : p.find(s.restore, s.types);
  if (p.honourTokens_ && restored) {
    ++p.restored_;
    p.grant(s, *restored);
    return 1;
  }
  ++p.choosers_;
  if (p.chooser_ == Chooser::Wait) {
    sd_bus_slot* slot = nullptr;
    r = sd_bus_add_object_vtable(p.bus_, &slot, handle, "org.freedesktop.impl.portal.Request", kRequest, &p);
    if (r < 0) return r;
    s.request.reset(slot);
  } else {
    p.answer(s, p.chooser_ == Chooser::Grant ? 0 : 1);
  }
  return 1;
}

// The chooser's answer to a pending Start.
void Portal::answer(Session& s, uint32_t response) {
  s.request.reset();
  const Source* source = find(chosen_, s.types);
  if (!source) source = find("", s.types);
  if (response == 0 && source) return grant(s, *source);
  if (s.pendingStart) replyEmpty(s.pendingStart.get(), response ? response : 2);
  s.pendingStart.reset();
}

void Portal::grant(Session& s, const Source& source) {
  s.nodes.push_back(std::make_unique<Node>(*this, s, source, s.cursorMode));
}

void Portal::nodeReady(Node& node) {
  Session& s = node.session;
  if (!s.pendingStart) return;
  Message reply;
  sd_bus_message* m = nullptr;
  int r = sd_bus_message_new_method_return(s.pendingStart.get(), &m);
  reply.reset(m);
  const Source& src = node.source;
  if (r >= 0) r = sd_bus_message_append(m, "u", 0u);
  if (r >= 0) r = sd_bus_message_open_container(m, 'a', "{sv}");
  if (r >= 0) r = sd_bus_message_open_container(m, 'e', "sv");
  if (r >= 0) r = sd_bus_message_append(m, "s", "streams");
  if (r >= 0) r = sd_bus_message_open_container(m, 'v', "a(ua{sv})");
  if (r >= 0) r = sd_bus_message_open_container(m, 'a', "(ua{sv})");
  if (r >= 0) r = sd_bus_message_open_container(m, 'r', "ua{sv}");
  if (r >= 0) r = sd_bus_message_append(m, "u", node.id);
  if (r >= 0 && src.type == kMonitor)
    r = sd_bus_message_append(m, "a{sv}", 3, "source_type", "u", src.type, "size", "(ii)", src.width, src.height,
                              "position", "(ii)", src.x, src.y);
  else if (r >= 0)
    r = sd_bus_message_append(m, "a{sv}", 2, "source_type", "u", src.type, "size", "(ii)", src.width, src.height);
  for (int i = 0; i < 4 && r >= 0; ++i) r = sd_bus_message_close_container(m);
  if (r >= 0 && s.persistMode > 0)
    r = sd_bus_message_append(m, "{sv}{sv}", "persist_mode", "u", s.persistMode, "restore_data", "(suv)", kVendor, 1u,
                              "s", src.name.c_str());
  if (r >= 0) r = sd_bus_message_close_container(m);
  if (r >= 0) r = sd_bus_send(nullptr, m, nullptr);
  if (r < 0) {
    note("cannot answer Start: %s", std::strerror(-r));
    replyEmpty(s.pendingStart.get(), 2);
  }
  s.pendingStart.reset();
}

void Portal::nodeFailed(Node& node) {
  Session& s = node.session;
  if (s.pendingStart) replyEmpty(s.pendingStart.get(), 2);
  s.pendingStart.reset();
}

int Portal::closeSession(sd_bus_message* m, void* self, sd_bus_error*) {
  auto& p = *static_cast<Portal*>(self);
  auto it = p.sessions_.find(sd_bus_message_get_path(m));
  if (it != p.sessions_.end()) p.close(*it->second, false);
  return sd_bus_reply_method_return(m, "");
}

int Portal::closeRequest(sd_bus_message* m, void* self, sd_bus_error*) {
  auto& p = *static_cast<Portal*>(self);
  for (auto& [path, s] : p.sessions_) {
    if (s->request && s->handle == sd_bus_message_get_path(m)) p.answer(*s, 2);  // the frontend drops it
  }
  return sd_bus_reply_method_return(m, "");
}

// Ends a session: its nodes go at once, its objects once the call at hand has returned.
void Portal::close(Session& s, bool signal) {
  if (s.closed) return;
  if (s.pendingStart) replyEmpty(s.pendingStart.get(), 2);
  s.pendingStart.reset();
  s.nodes.clear();
  s.closed = true;
  if (signal) sd_bus_emit_signal(bus_, s.path.c_str(), "org.freedesktop.impl.portal.Session", "Closed", nullptr);
  if (!reaper_) {
    sd_event_add_defer(
        event_, &reaper_, [](sd_event_source*, void* self) { return static_cast<Portal*>(self)->reap(), 0; }, this);
  } else {
    sd_event_source_set_enabled(reaper_, SD_EVENT_ONESHOT);
  }
}

void Portal::reap() {
  std::erase_if(sessions_, [](const auto& entry) { return entry.second->closed; });
}

int Portal::screenshot(sd_bus_message* m, void* self, sd_bus_error*) {
  auto& p = *static_cast<Portal*>(self);
  const char *handle, *app, *parent;
  int r = sd_bus_message_read(m, "oss", &handle, &app, &parent);
  int interactive = 0;
  if (r >= 0)
    r = readOptions(m, [&](const std::string& key) {
      return key == "interactive" && sd_bus_message_read(m, "v", "b", &interactive) >= 0;
    });
  if (r < 0) return r;
  if (!p.allowScreenshots_) return replyEmpty(m, 2);
  if (interactive && p.chooser_ == Chooser::Cancel) return replyEmpty(m, 1);
  const std::string file = p.shots_ + "/screenshot-" + std::to_string(++p.screenshots_) + ".png";
  if (!p.screenshotTo(file)) return replyEmpty(m, 2);
  return sd_bus_reply_method_return(m, "ua{sv}", 0u, 1, "uri", "s", ("file://" + file).c_str());
}

// A PNG of the first output as it looks now, pointer drawn in.
bool Portal::screenshotTo(const std::string& path) const {
  const Source* first = find("", kMonitor);
  if (!first) return false;
  const Source& out = *first;
  std::vector<uint8_t> pixels(size_t(out.width) * out.height * 4);
  Scene view = scene_;
  view.colour = out.colour;
  draw(pixels.data(), out.width * 4, out.width, out.height, view, true, false);
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = uint32_t(out.width);
  image.height = uint32_t(out.height);
  image.format = PNG_FORMAT_BGRA;
  return png_image_write_to_file(&image, path.c_str(), 0, pixels.data(), out.width * 4, nullptr) != 0;
}

int Portal::control(sd_bus_message* m, void* self, sd_bus_error*) {
  const char* line = nullptr;
  int r = sd_bus_message_read(m, "s", &line);
  if (r < 0) return r;
  return sd_bus_reply_method_return(m, "s", static_cast<Portal*>(self)->command(line).c_str());
}

std::string Portal::command(const std::string& line) {
  std::istringstream in(line);
  std::string word, arg, size;
  long a = 0, b = 0;
  in >> word;
  const std::string usage = "error: usage: " + line;
  if (word == "chooser") {
    in >> arg;
    if (arg == "grant") {
      std::string source;
      in >> source;
      if (!source.empty() && !find(source, kMonitor | kWindow)) return "error: no source " + source;
      chooser_ = Chooser::Grant;
      chosen_ = source;
    } else if (arg == "cancel" || arg == "wait") {
      chooser_ = arg == "cancel" ? Chooser::Cancel : Chooser::Wait;
    } else {
      return usage;
    }
  } else if (word == "answer") {
    in >> arg;
    if (arg != "grant" && arg != "cancel") return usage;
    for (auto& [path, s] : sessions_) {
      if (s->request) answer(*s, arg == "grant" ? 0 : 1);
    }
  } else if (word == "tokens" && in >> arg && (arg == "honour" || arg == "refuse")) {
    honourTokens_ = arg == "honour";
  } else if (word == "screenshot" && in >> arg && (arg == "allow" || arg == "deny")) {
    allowScreenshots_ = arg == "allow";
  } else if (word == "pixels" && in >> arg && (arg == "BGRx" || arg == "RGBx")) {
    rgbOrder_ = arg == "RGBx";
  } else if (word == "paint" && in >> arg && isColour(arg)) {
    std::string name;
    in >> name;
    if (!name.empty() && !source(name)) return "error: no source " + name;
    for (Source& src : sources_) {
      if (name.empty() || src.name == name) src.colour = uint32_t(std::stoul(arg, nullptr, 16));
    }
    scene_.mode = Scene::Mode::Still;
  } else if (word == "window" && in >> arg >> size && !source(arg)) {
    Source window{arg, kWindow, 0, 0, 0, 0};
    if (!parseSize(size, window.width, window.height)) return usage;
    sources_.push_back(window);
  } else if (word == "resize" && in >> arg >> a >> b && source(arg) && a > 0 && b > 0 && a <= 8192 && b <= 8192) {
    source(arg)->width = int(a);
    source(arg)->height = int(b);
    for (auto& [path, s] : sessions_) {
      for (auto& n : s->nodes) {
        if (n->source.name == arg) n->resize(int(a), int(b));
      }
    }
  } else if ((word == "hide" || word == "show") && in >> arg && source(arg)) {
    source(arg)->hidden = word == "hide";
    for (auto& [path, s] : sessions_) {
      for (auto& n : s->nodes) {
        if (n->source.name == arg) n->forget();  // shown again whole
      }
    }
  } else if (word == "remove" && in >> arg && source(arg)) {
    std::erase_if(sources_, [&](const Source& src) { return src.name == arg; });
    for (auto& [path, s] : sessions_) {
      if (std::any_of(s->nodes.begin(), s->nodes.end(), [&](const auto& n) { return n->source.name == arg; }))
        close(*s, true);
    }
  } else if (word == "animate" && in >> a && a > 0 && a <= 1000) {
    fps_ = int(a);
    scene_.mode = Scene::Mode::Animate;
  } else if (word == "counter" && in >> a >> b >> arg && a > 0 && b >= a && b < 100000) {
    counterMinMs_ = int(a);
    counterMaxMs_ = int(b);
    paintLog_ = arg;
    scene_.mode = Scene::Mode::Counter;
  } else if (word == "still") {
    scene_.mode = Scene::Mode::Still;
  } else if (word == "pointer" && line == "pointer none") {
    scene_.pointer.reset();
  } else if (word == "pointer" && in >> a >> b && std::abs(a) < 100000 && std::abs(b) < 100000) {
    scene_.pointer = std::pair(int(a), int(b));
  } else if (word == "remove-node") {
    for (auto& [path, s] : sessions_) {
      s->nodes.clear();
      if (s->pendingStart) replyEmpty(s->pendingStart.get(), 2);
      s->pendingStart.reset();
    }
  } else if (word == "close-session") {
    for (auto& [path, s] : sessions_) close(*s, true);
  } else if (word == "reset") {
    chooser_ = Chooser::Grant;
    chosen_.clear();
    honourTokens_ = allowScreenshots_ = true;
    rgbOrder_ = false;
    scene_ = Scene{};
    sources_ = initial_;
    choosers_ = restored_ = screenshots_ = 0;
  } else if (word == "status") {
    return status();
  } else {
    return usage;
  }
  tick();
  return "ok";
}

std::string Portal::status() const {
  int sessions = 0, nodes = 0, streaming = 0;
  std::string ids;
  for (const auto& [path, s] : sessions_) {
    sessions += !s->closed;
    for (const auto& n : s->nodes) {
      ++nodes;
      streaming += n->streaming;
      if (!ids.empty()) ids += ',';
      ids += std::to_string(n->id);
    }
  }
  std::ostringstream out;
  out << "sessions=" << sessions << " nodes=" << nodes << " node_ids=" << ids << " streaming=" << streaming
      << " choosers=" << choosers_ << " restored=" << restored_ << " screenshots=" << screenshots_;
  return out.str();
}

void Portal::painted(uint16_t counter) {
  if (counter == logged_ || paintLog_.empty()) return;
  logged_ = counter;
  if (FILE* f = std::fopen(paintLog_.c_str(), "a")) {
    std::fprintf(f, "paint %u %.6f\n", unsigned(counter), double(monotonicNs()) * 1e-9);
    std::fclose(f);
  }
}

void Portal::arm(sd_event_source*& source, uint64_t delayUs, sd_event_time_handler_t handler) {
  uint64_t now = 0;
  sd_event_now(event_, CLOCK_MONOTONIC, &now);
  if (!source) {
    sd_event_add_time(event_, &source, CLOCK_MONOTONIC, now + delayUs, 1, handler, this);  // 0 would mean 250 ms
  } else {
    sd_event_source_set_time(source, now + delayUs);
    sd_event_source_set_enabled(source, SD_EVENT_ONESHOT);
  }
}

// Shows the scene and keeps the animation or the counter going.
void Portal::tick() {
  update();
  auto next = [](sd_event_source*, uint64_t, void* self) {
    auto& p = *static_cast<Portal*>(self);
    if (p.scene_.mode == Scene::Mode::Animate) ++p.scene_.step;
    if (p.scene_.mode == Scene::Mode::Counter) ++p.scene_.counter;
    p.tick();
    return 0;
  };
  if (scene_.mode == Scene::Mode::Animate) {
    arm(ticker_, 1000000 / uint64_t(fps_), next);
  } else if (scene_.mode == Scene::Mode::Counter) {
    arm(ticker_, 1000 * uint64_t(std::uniform_int_distribution(counterMinMs_, counterMaxMs_)(random_)), next);
  } else if (ticker_) {
    sd_event_source_set_enabled(ticker_, SD_EVENT_OFF);
  }
}

// Brings every streaming node up to the scene; a node without a free buffer is tried again soon.
void Portal::update() {
  bool behind = false;
  for (auto& [path, s] : sessions_) {
    for (auto& n : s->nodes) {
      const Source* src = source(n->source.name);
      if (src && src->hidden) continue;
      Scene view = scene_;
      view.colour = src ? src->colour : n->source.colour;
      behind |= !n->show(view);
    }
  }
  if (behind) later();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<Source> sources;
  Source window{"window", kWindow, 0, 0, 800, 600};
  std::string shots = "/tmp";
  uint32_t cursorModes = 7;
  int x = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i], value = argv[i + 1];
    const auto colon = value.rfind(':');
    Source out{value.substr(0, colon), kMonitor, x, 0, 0, 0};
    if (option == "--output" && colon != value.npos && parseSize(value.substr(colon + 1), out.width, out.height)) {
      sources.push_back(out);
      x += out.width;
    } else if (option == "--window" && parseSize(value, window.width, window.height)) {
    } else if (option == "--shots") {
      shots = value;
    } else if (option == "--cursor-modes" && std::atoi(value.c_str()) > 0 && std::atoi(value.c_str()) <= 7) {
      cursorModes = uint32_t(std::atoi(value.c_str()));
    } else {
      std::fprintf(stderr,
                   "usage: qb-test-portal [--output NAME:WxH]... [--window WxH] [--shots DIR] [--cursor-modes N]\n");
      return 2;
    }
  }
  if (sources.empty()) sources.push_back({"HEADLESS-1", kMonitor, 0, 0, 1920, 1080});
  sources.push_back(window);

  pw_init(nullptr, nullptr);
  sd_event* event = nullptr;
  sd_bus* bus = nullptr;
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  sigprocmask(SIG_BLOCK, &stop, nullptr);
  pw_loop* loop = pw_loop_new(nullptr);
  pw_context* context = loop ? pw_context_new(loop, nullptr, 0) : nullptr;
  pw_core* core = context ? pw_context_connect(context, nullptr, 0) : nullptr;
  if (!core) return note("cannot connect to PipeWire: %s", std::strerror(errno)), 1;
  if (sd_event_default(&event) < 0 || sd_bus_open_user(&bus) < 0) return note("no session bus%s", ""), 1;
  // PipeWire's loop runs inside ours; a lost PipeWire or bus connection ends the program.
  pw_loop_enter(loop);
  sd_event_add_io(
      event, nullptr, pw_loop_get_fd(loop), EPOLLIN,
      [](sd_event_source*, int, uint32_t, void* l) { return pw_loop_iterate(static_cast<pw_loop*>(l), 0), 0; }, loop);
  spa_hook coreListener{};
  static constexpr pw_core_events kCoreEvents = [] {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.error = [](void* ev, uint32_t id, int, int res, const char* message) {
      if (id != PW_ID_CORE || res != -EPIPE) return;
      note("PipeWire went away: %s", message ? message : "");
      sd_event_exit(static_cast<sd_event*>(ev), 1);
    };
    return e;
  }();
  pw_core_add_listener(core, &coreListener, &kCoreEvents, event);
  sd_event_add_signal(event, nullptr, SIGTERM, nullptr, nullptr);
  sd_event_add_signal(event, nullptr, SIGINT, nullptr, nullptr);
  int status;
  {
    Portal portal(event, bus, core, sources, shots, cursorModes);
    int r = sd_bus_attach_event(bus, event, 0);
    if (r >= 0) r = portal.start();
    if (r < 0) return note("cannot serve on the session bus: %s", std::strerror(-r)), 1;
    note("serving %s", kBusName);
    status = sd_event_loop(event);
  }
  spa_hook_remove(&coreListener);
  pw_loop_leave(loop);
  pw_core_disconnect(core);
  pw_context_destroy(context);
  pw_loop_destroy(loop);
  sd_bus_flush_close_unref(bus);
  sd_event_unref(event);
  return status < 0 ? 1 : status;
}
