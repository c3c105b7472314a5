#pragma once
// One record stream on one source: connects at once, asks for ~20 ms fragments, turns
// holes into silence and hands whole frames over in buffers of at least 10 ms (what is
// left at the end comes with flush()). Freed = disconnected, callbacks off.
//
// Locking: every method, the constructor and the destructor need the loop's lock (see
// PulseMainLoop). Callbacks run on the loop thread with the lock held; `failed` and
// `moved` may destroy the stream, `ready` and `data` must not.

#include <pulse/channelmap.h>
#include <pulse/context.h>
#include <pulse/stream.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/AudioBuffer.hpp"
#include "platform/linux/pulse/PulseDecisions.hpp"

namespace qb::pulse {

struct RecordSpec {
  std::string source;  // source name
  SampleKind kind = SampleKind::float32le;
  uint32_t rate = 48000;
  uint32_t channels = 2;
  std::optional<pa_channel_map> channelMap;  // the source's own, when known
  std::string mediaName;
  // The server neither rescues nor lets others move the stream: it ends instead.
  bool dontMove = false;
};

class PulseRecordStream {
 public:
  struct Callbacks {
    std::function<void()> ready;
    std::function<void(const std::string& reason)> failed;  // FAILED or TERMINATED by the server
    std::function<void()> moved;                            // now records another source
    // captureTimeUs: when the first frame was captured, in microseconds of CLOCK_MONOTONIC
    // (0 while the server has not told the stream's timing yet).
    std::function<void(std::vector<uint8_t> frames, size_t frameCount, int64_t captureTimeUs)> data;
  };

  // null (and `error` set) when the stream could not even be created or connected.
  static std::unique_ptr<PulseRecordStream> open(pa_context* context, const RecordSpec& spec, Callbacks callbacks,
                                                 std::string* error);
  ~PulseRecordStream();
  PulseRecordStream(const PulseRecordStream&) = delete;
  PulseRecordStream& operator=(const PulseRecordStream&) = delete;

  bool isReady() const;
  bool hasEnded() const;  // FAILED or TERMINATED
  const StreamDescription& description() const { return description_; }
  // The source it records now (changes when the stream is moved).
  std::string deviceName() const;
  uint32_t deviceIndex() const;
  uint32_t streamIndex() const;
  // Fragment size the server granted, in bytes (0 before ready).
  uint32_t grantedFragmentBytes() const;
  // Bytes of holes turned into silence so far.
  uint64_t holeBytes() const { return holeBytes_; }
  // Stops handing data over; what arrives meanwhile is dropped. Used while it is not
  // known whether the stream still records the right source.
  void setDelivering(bool on) {
    if (!on) joiner_.reset();
    delivering_ = on;
  }
  // Hands over what is kept back for a full buffer (when delivering). Call before
  // stopping; runs the data callback.
  void flush();

 private:
  PulseRecordStream(pa_stream* s, const RecordSpec& spec, Callbacks callbacks);
  void onState();
  void onReadable();
  // When the next byte to read was captured: now less the stream's latency, which the
  // server's timing reports (interpolated between them) give without a round trip.
  int64_t nextCaptureTimeUs() const;
  int64_t durationUs(size_t bytes) const;

  pa_stream* stream_ = nullptr;
  Callbacks callbacks_;
  StreamDescription description_;
  FragmentAssembler assembler_;
  BufferJoiner joiner_;
  int64_t joinedCaptureUs_ = 0;  // of the first byte the joiner holds
  uint64_t holeBytes_ = 0;
  bool delivering_ = true;
  bool reportedEnd_ = false;
};

}  // namespace qb::pulse
