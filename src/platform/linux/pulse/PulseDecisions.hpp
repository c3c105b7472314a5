#pragma once
// The sound-server backend's decisions, kept free of libpulse so that they can be tested
// without a server: reconnection backoff, recording formats and fragment sizes, hole
// filling, how stream and connection failures map onto what the logic expects (session
// notifications, stream error codes). Which sources count as in use: MicrophoneUse.hpp.
//
// Everything here is pure or a plain value type; none of it is thread-safe on its own.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/AudioBuffer.hpp"
#include "platform/PlatformError.hpp"

namespace qb::pulse {

// ---- Connection ----------------------------------------------------------------------

inline constexpr double kFirstReconnectDelay = 0.1;
inline constexpr double kMaxReconnectDelay = 2.0;

// Delay before the next connection attempt, given the previous one (0 = none yet).
inline double nextReconnectDelay(double previous) {
  if (previous <= 0) return kFirstReconnectDelay;
  return std::min(previous * 2, kMaxReconnectDelay);
}

// ---- Formats -------------------------------------------------------------------------

// The sample formats we record in. Everything else is recorded as float32 and
// converted by the server, so the logic only ever sees these four.
enum class SampleKind { u8, s16le, s32le, float32le, other };

inline SampleKind recordKindFor(SampleKind native) {
  return native == SampleKind::other ? SampleKind::float32le : native;
}

inline uint32_t bytesPerSample(SampleKind k) {
  switch (k) {
    case SampleKind::u8:
      return 1;
    case SampleKind::s16le:
      return 2;
    case SampleKind::s32le:
    case SampleKind::float32le:
      return 4;
    case SampleKind::other:
      return 0;
  }
  return 0;
}

// Silence is the middle of the range: 0 for signed and float samples, 0x80 for u8.
inline uint8_t silenceByte(SampleKind k) { return k == SampleKind::u8 ? 0x80 : 0x00; }

// Interleaved little-endian PCM as the capture outputs describe it; none for `other`.
inline std::optional<StreamDescription> describe(SampleKind k, uint32_t rate, uint32_t channels) {
  const uint32_t bytes = bytesPerSample(k);
  if (bytes == 0 || rate == 0 || channels == 0) return std::nullopt;
  StreamDescription d;
  d.sampleRate = rate;
  switch (k) {
    case SampleKind::float32le:
      d.formatFlags = FormatFlags::kFloat | FormatFlags::kPacked;
      break;
    case SampleKind::s16le:
    case SampleKind::s32le:
      d.formatFlags = FormatFlags::kSignedInteger | FormatFlags::kPacked;
      break;
    default:
      d.formatFlags = FormatFlags::kPacked;
      break;
  }
  d.bitsPerChannel = bytes * 8;
  d.channelsPerFrame = channels;
  d.bytesPerFrame = bytes * channels;
  d.framesPerPacket = 1;
  d.bytesPerPacket = d.bytesPerFrame;
  return d;
}

// The fragment size we ask for: without one the server hands record data over in
// chunks of about two seconds. Whole frames, at least one.
inline constexpr double kFragmentSeconds = 0.02;
inline uint32_t fragmentBytes(uint32_t rate, uint32_t frameBytes, double seconds = kFragmentSeconds) {
  const auto frames = static_cast<uint32_t>(std::max(1.0, double(rate) * seconds));
  return frames * frameBytes;
}

// Turns what the server hands over into whole frames: a hole (no data, a length)
// becomes silence of exactly that length, and a partial frame waits for the rest.
class FragmentAssembler {
 public:
  FragmentAssembler(uint32_t frameBytes, uint8_t silence)
      : frameBytes_(std::max<uint32_t>(frameBytes, 1)), silence_(silence) {}

  // data == nullptr means a hole of `length` bytes. Returns the whole frames now
  // complete (possibly none).
  std::vector<uint8_t> take(const void* data, size_t length) {
    std::vector<uint8_t> out;
    out.reserve(carry_.size() + length);
    out.insert(out.end(), carry_.begin(), carry_.end());
    carry_.clear();
    if (data) {
      const auto* p = static_cast<const uint8_t*>(data);
      out.insert(out.end(), p, p + length);
    } else {
      out.insert(out.end(), length, silence_);
    }
    const size_t whole = out.size() - out.size() % frameBytes_;
    carry_.assign(out.begin() + static_cast<std::ptrdiff_t>(whole), out.end());
    out.resize(whole);
    return out;
  }
  void reset() { carry_.clear(); }
  uint32_t frameBytes() const { return frameBytes_; }
  size_t carriedBytes() const { return carry_.size(); }

 private:
  uint32_t frameBytes_;
  uint8_t silence_;
  std::vector<uint8_t> carry_;
};

// The server hands record data over in whatever pieces its source renders, down to a
// few frames; consumers expect regular buffers. Joins consecutive pieces until there are
// at least `minBytes` (whole frames in, whole frames out). Each buffer costs a hop onto a
// capture queue: at 15 ms the usual 10 ms pieces go out in pairs (half the wakeups of
// passing them on singly), while a piece near the 20 ms fragment still goes alone.
inline constexpr double kMinBufferSeconds = 0.015;

class BufferJoiner {
 public:
  explicit BufferJoiner(size_t minBytes) : minBytes_(std::max<size_t>(minBytes, 1)) {}

  // The joined buffer once it is long enough, else nothing (the bytes are kept).
  std::optional<std::vector<uint8_t>> add(std::vector<uint8_t> bytes) {
    if (pending_.empty()) {
      pending_ = std::move(bytes);
    } else {
      pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    }
    if (pending_.size() < minBytes_) return std::nullopt;
    return take();
  }
  // Whatever is kept, possibly empty; the joiner starts over.
  std::vector<uint8_t> take() {
    std::vector<uint8_t> out = std::move(pending_);
    pending_.clear();
    return out;
  }
  void reset() { pending_.clear(); }
  size_t pendingBytes() const { return pending_.size(); }

 private:
  size_t minBytes_;
  std::vector<uint8_t> pending_;
};

// ---- System-audio stream -------------------------------------------------------------
//
// The stream records the monitor of the default output and follows it. What happens to
// it is decided from the state of the connection and of the outputs at that moment.

enum class SystemStreamEvent {
  failed,             // the server ended our record stream (killed, or its source vanished)
  connectFailed,      // a (re)connection of the record stream did not become ready
  movedToNonMonitor,  // the stream now records something that is not a monitor
  movedToMonitor,     // the stream now records another output's monitor
  defaultSinkChanged,
  connectionLost,  // the connection to the server failed; our record stream died with it
  connectionBack,  // a new connection is ready after one was lost while we recorded
};

enum class SystemStreamAction {
  keep,    // go on as is
  follow,  // record the monitor of the current default output instead
  stop,    // end the stream and tell the delegate `code`
  await,   // record nothing until the connection is back, then follow the default output
};

struct SystemStreamDecision {
  SystemStreamAction action = SystemStreamAction::keep;
  int64_t code = 0;
  bool operator==(const SystemStreamDecision&) const = default;
};

struct SystemStreamFacts {
  bool contextUp = true;
  bool capturedSinkExists = true;  // the output whose monitor we recorded
  bool defaultSinkExists = true;   // there is a default output to follow
  bool defaultIsCaptured = false;  // ... and it is the one we recorded
  int followAttempts = 0;          // follows in a row that have not reached a ready stream
};

inline constexpr int kMaxFollowAttempts = 3;

inline SystemStreamDecision decideSystemStream(SystemStreamEvent event, const SystemStreamFacts& f) {
  using A = SystemStreamAction;
  // A lost server is not the stream's failure: the connection comes back by itself, and
  // the restarted server has new outputs, so the default one is looked up again then.
  if (!f.contextUp) return {A::await, 0};
  const bool canFollow = f.defaultSinkExists && f.followAttempts < kMaxFollowAttempts;
  switch (event) {
    case SystemStreamEvent::movedToMonitor:
      return {A::keep, 0};
    case SystemStreamEvent::connectionLost:
      return {A::await, 0};
    case SystemStreamEvent::connectionBack:
      return {A::follow, 0};
    case SystemStreamEvent::defaultSinkChanged:
      return (f.defaultSinkExists && !f.defaultIsCaptured) ? SystemStreamDecision{A::follow, 0}
                                                           : SystemStreamDecision{A::keep, 0};
    case SystemStreamEvent::failed:
    case SystemStreamEvent::movedToNonMonitor:
      // Our output is still there, so someone else ended or moved our recording.
      if (f.capturedSinkExists) return {A::stop, StreamErrorCode::kTakenOver};
      if (canFollow) return {A::follow, 0};
      return {A::stop, StreamErrorCode::kDisplayUnavailable};
    case SystemStreamEvent::connectFailed:
      if (!f.capturedSinkExists && canFollow) return {A::follow, 0};
      if (!f.capturedSinkExists) return {A::stop, StreamErrorCode::kDisplayUnavailable};
      return {A::stop, StreamErrorCode::kFailed};
  }
  return {A::keep, 0};
}

// ---- Capture sessions ----------------------------------------------------------------

enum class SessionEvent {
  streamFailed,  // the record stream failed
  contextLost,   // the connection to the server failed
  contextBack,   // the connection is ready again
};

enum class SessionAction {
  none,
  reportRuntimeError,  // the session stops; the owner rebuilds it
  reportInterrupted,   // the session waits for the server
  reconnect,           // record the same source again; interruption ended once it runs
};

struct SessionFacts {
  bool wantRunning = false;  // startRunning without stopRunning since
  bool interrupted = false;  // an interruption was reported and has not ended
  bool contextUp = true;
  bool sourceExists = true;  // the session's source, looked up after the event
};

inline SessionAction decideSession(SessionEvent event, const SessionFacts& f) {
  switch (event) {
    case SessionEvent::streamFailed:
      // A failure caused by the connection going away is reported as an interruption;
      // one while resuming after an interruption is a runtime error like any other.
      if (!f.wantRunning || !f.contextUp) return SessionAction::none;
      return SessionAction::reportRuntimeError;
    case SessionEvent::contextLost:
      return (f.wantRunning && !f.interrupted) ? SessionAction::reportInterrupted : SessionAction::none;
    case SessionEvent::contextBack:
      if (!f.wantRunning || !f.interrupted) return SessionAction::none;
      return f.sourceExists ? SessionAction::reconnect : SessionAction::reportRuntimeError;
  }
  return SessionAction::none;
}

// The server's "none" for an index.
inline constexpr uint32_t kNoIndex = 0xFFFFFFFFu;

}  // namespace qb::pulse
