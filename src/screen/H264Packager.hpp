#pragma once
// Turns the encoder's length-prefixed output into what goes on the wire: Annex B access
// units with the parameter sets in front of every keyframe, microsecond timestamps from
// the first captured picture, and the video sequence counter. Pure logic; not
// thread-safe (the source calls it from the encoder's output thread only).

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/VideoEncoder.hpp"

namespace qb {

inline constexpr uint8_t kAnnexBStartCode[4] = {0x00, 0x00, 0x00, 0x01};

// Each 4-byte big-endian length + NAL unit becomes start code + NAL unit, with SPS and
// PPS (when known) first on a keyframe. A unit whose length runs past the end is dropped
// with everything after it; fewer than 4 trailing bytes are ignored.
std::vector<uint8_t> convertAVCCToAnnexB(std::span<const uint8_t> data, bool isKeyframe,
                                         const std::optional<std::vector<uint8_t>>& sps,
                                         const std::optional<std::vector<uint8_t>>& pps);

// Microseconds from `origin` to `time` (seconds), truncated; 0 for a time before the
// origin. Rounded to the nanosecond first so that 0.1 s is 100000 us, not 99999.
uint64_t microsecondsSince(double origin, double time);

struct VideoPacket {
  bool isKeyframe = false;
  uint64_t pts = 0;
  uint32_t sequence = 0;
  std::vector<uint8_t> annexB;
};

class H264Packager {
 public:
  // A new run numbers its frames from 0 again; the cached parameter sets stay (the
  // run's first keyframe refreshes them).
  void startRun() { nextSequence_ = 0; }

  // The packet for one encoded frame, or none when the frame carries no bytes at all (it
  // then takes no sequence number). No origin yet gives pts 0.
  std::optional<VideoPacket> package(const EncodedFrame& frame, std::optional<double> captureStart);

  const std::optional<std::vector<uint8_t>>& cachedSPS() const { return sps_; }
  const std::optional<std::vector<uint8_t>>& cachedPPS() const { return pps_; }
  uint32_t nextSequence() const { return nextSequence_; }
  void setNextSequence(uint32_t sequence) { nextSequence_ = sequence; }

 private:
  void cacheParameterSets(const EncodedFrame& frame);

  std::optional<std::vector<uint8_t>> sps_;
  std::optional<std::vector<uint8_t>> pps_;
  uint32_t nextSequence_ = 0;
};

}  // namespace qb
