#include "platform/linux/pulse/PulseRecordStream.hpp"

#include <pulse/error.h>
#include <pulse/proplist.h>
#include <time.h>

#include <cmath>

#include "platform/linux/pulse/MicrophoneUse.hpp"

namespace qb::pulse {

namespace {

pa_sample_format_t paFormat(SampleKind k) {
  switch (k) {
    case SampleKind::u8:
      return PA_SAMPLE_U8;
    case SampleKind::s16le:
      return PA_SAMPLE_S16LE;
    case SampleKind::s32le:
      return PA_SAMPLE_S32LE;
    default:
      return PA_SAMPLE_FLOAT32LE;
  }
}

}  // namespace

std::unique_ptr<PulseRecordStream> PulseRecordStream::open(pa_context* context, const RecordSpec& requested,
                                                           Callbacks callbacks, std::string* error) {
  RecordSpec spec = requested;
  spec.kind = recordKindFor(spec.kind);
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return nullptr;
  };
  if (!context) return fail("not connected to the sound server");
  pa_sample_spec ss{paFormat(spec.kind), spec.rate, static_cast<uint8_t>(spec.channels)};
  if (!pa_sample_spec_valid(&ss)) return fail("unsupported sample format");
  pa_channel_map map;
  if (spec.channelMap && spec.channelMap->channels == spec.channels && pa_channel_map_valid(&*spec.channelMap)) {
    map = *spec.channelMap;
  } else if (!pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT)) {
    return fail("no channel map for " + std::to_string(spec.channels) + " channels");
  }
  pa_proplist* props = pa_proplist_new();
  pa_proplist_sets(props, PA_PROP_MEDIA_NAME, spec.mediaName.c_str());
  // Marks the stream as ours, so that nothing counts the helper as an application using
  // the microphone (also where the server shows stream properties only).
  pa_proplist_sets(props, PA_PROP_APPLICATION_ID, std::string(kOwnApplicationId).c_str());
  pa_stream* s = pa_stream_new_with_proplist(context, spec.mediaName.c_str(), &ss, &map, props);
  pa_proplist_free(props);
  if (!s) return fail(pa_strerror(pa_context_errno(context)));

  std::unique_ptr<PulseRecordStream> rs(new PulseRecordStream(s, spec, std::move(callbacks)));
  pa_buffer_attr attr;
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.tlength = static_cast<uint32_t>(-1);
  attr.prebuf = static_cast<uint32_t>(-1);
  attr.minreq = static_cast<uint32_t>(-1);
  attr.fragsize = fragmentBytes(spec.rate, rs->description_.bytesPerFrame);
  // Timing reports let every buffer carry its capture time (one report a second or so
  // once the stream runs).
  int flags = PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE;
  if (spec.dontMove) flags |= PA_STREAM_DONT_MOVE;
  if (pa_stream_connect_record(s, spec.source.c_str(), &attr, static_cast<pa_stream_flags_t>(flags)) < 0)
    return fail(pa_strerror(pa_context_errno(context)));
  return rs;
}

PulseRecordStream::PulseRecordStream(pa_stream* s, const RecordSpec& spec, Callbacks callbacks)
    : stream_(s),
      callbacks_(std::move(callbacks)),
      description_(describe(spec.kind, spec.rate, spec.channels).value_or(StreamDescription{})),
      assembler_(description_.bytesPerFrame, silenceByte(spec.kind)),
      joiner_(fragmentBytes(spec.rate, description_.bytesPerFrame, kMinBufferSeconds)) {
  pa_stream_set_state_callback(
      s, [](pa_stream*, void* self) { static_cast<PulseRecordStream*>(self)->onState(); }, this);
  pa_stream_set_read_callback(
      s, [](pa_stream*, size_t, void* self) { static_cast<PulseRecordStream*>(self)->onReadable(); }, this);
  pa_stream_set_moved_callback(
      s,
      [](pa_stream*, void* self) {
        auto* rs = static_cast<PulseRecordStream*>(self);
        rs->assembler_.reset();
        rs->joiner_.reset();
        // A copy: the callback may destroy rs, and with it the stored one.
        if (auto moved = rs->callbacks_.moved) moved();
      },
      this);
}

PulseRecordStream::~PulseRecordStream() {
  pa_stream_set_state_callback(stream_, nullptr, nullptr);
  pa_stream_set_read_callback(stream_, nullptr, nullptr);
  pa_stream_set_moved_callback(stream_, nullptr, nullptr);
  const pa_stream_state_t st = pa_stream_get_state(stream_);
  if (st == PA_STREAM_CREATING || st == PA_STREAM_READY) pa_stream_disconnect(stream_);
  pa_stream_unref(stream_);
}

bool PulseRecordStream::isReady() const { return pa_stream_get_state(stream_) == PA_STREAM_READY; }

bool PulseRecordStream::hasEnded() const {
  const pa_stream_state_t st = pa_stream_get_state(stream_);
  return st == PA_STREAM_FAILED || st == PA_STREAM_TERMINATED;
}

std::string PulseRecordStream::deviceName() const {
  if (!isReady()) return {};
  const char* n = pa_stream_get_device_name(stream_);
  return n ? n : "";
}

uint32_t PulseRecordStream::deviceIndex() const {
  return isReady() ? pa_stream_get_device_index(stream_) : PA_INVALID_INDEX;
}

uint32_t PulseRecordStream::streamIndex() const { return isReady() ? pa_stream_get_index(stream_) : PA_INVALID_INDEX; }

uint32_t PulseRecordStream::grantedFragmentBytes() const {
  if (!isReady()) return 0;
  const pa_buffer_attr* a = pa_stream_get_buffer_attr(stream_);
  return a ? a->fragsize : 0;
}

void PulseRecordStream::onState() {
  switch (pa_stream_get_state(stream_)) {
    case PA_STREAM_READY:
      if (callbacks_.ready) callbacks_.ready();
      break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
      if (!reportedEnd_ && callbacks_.failed) {
        reportedEnd_ = true;
        pa_context* c = pa_stream_get_context(stream_);
        const std::string reason = c ? pa_strerror(pa_context_errno(c)) : "stream ended";
        // Taken out first: the callback may destroy this, and with it the stored one.
        auto failed = std::move(callbacks_.failed);
        failed(reason);
        return;
      }
      break;
    default:
      break;
  }
}

int64_t PulseRecordStream::durationUs(size_t bytes) const {
  const double bytesPerSecond = description_.sampleRate * assembler_.frameBytes();
  return bytesPerSecond > 0 ? std::llround(double(bytes) * 1e6 / bytesPerSecond) : 0;
}

int64_t PulseRecordStream::nextCaptureTimeUs() const {
  pa_usec_t latency = 0;
  int negative = 0;
  if (pa_stream_get_latency(stream_, &latency, &negative) < 0) return 0;
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const int64_t now = int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
  return negative ? now + int64_t(latency) : now - int64_t(latency);
}

void PulseRecordStream::onReadable() {
  while (pa_stream_readable_size(stream_) > 0) {
    const void* data = nullptr;
    size_t length = 0;
    if (pa_stream_peek(stream_, &data, &length) < 0) return;
    if (length == 0) return;  // nothing buffered after all; nothing to drop
    if (!data) holeBytes_ += length;
    // The part frame kept from the fragment before comes first.
    // Only a piece that starts a buffer needs its capture time (read before the drop).
    int64_t captured = 0;
    if (delivering_ && callbacks_.data && joiner_.pendingBytes() == 0) {
      captured = nextCaptureTimeUs();
      if (captured != 0) captured -= durationUs(assembler_.carriedBytes());
    }
    std::vector<uint8_t> frames = assembler_.take(data, length);
    pa_stream_drop(stream_);
    if (!delivering_ || frames.empty() || !callbacks_.data) continue;
    if (joiner_.pendingBytes() == 0) joinedCaptureUs_ = captured;
    auto joined = joiner_.add(std::move(frames));
    if (!joined) continue;
    const size_t count = joined->size() / assembler_.frameBytes();
    callbacks_.data(std::move(*joined), count, joinedCaptureUs_);
  }
}

void PulseRecordStream::flush() {
  std::vector<uint8_t> rest = joiner_.take();
  if (!delivering_ || rest.empty() || !callbacks_.data) return;
  const size_t count = rest.size() / assembler_.frameBytes();
  callbacks_.data(std::move(rest), count, joinedCaptureUs_);
}

}  // namespace qb::pulse
