#include "screen/H264Packager.hpp"

#include <cmath>

namespace qb {

namespace {

void appendUnit(std::vector<uint8_t>& out, std::span<const uint8_t> unit) {
  out.insert(out.end(), std::begin(kAnnexBStartCode), std::end(kAnnexBStartCode));
  out.insert(out.end(), unit.begin(), unit.end());
}

}  // namespace

std::vector<uint8_t> convertAVCCToAnnexB(std::span<const uint8_t> data, bool isKeyframe,
                                         const std::optional<std::vector<uint8_t>>& sps,
                                         const std::optional<std::vector<uint8_t>>& pps) {
  std::vector<uint8_t> out;
  // A start code per unit costs nothing extra: the length prefixes it replaces are as long.
  size_t reserve = data.size();
  if (isKeyframe) reserve += (sps ? sps->size() + 4 : 0) + (pps ? pps->size() + 4 : 0);
  out.reserve(reserve);
  if (isKeyframe) {
    if (sps) appendUnit(out, *sps);
    if (pps) appendUnit(out, *pps);
  }
  size_t offset = 0;
  while (offset + 4 <= data.size()) {
    const uint64_t length = (uint64_t(data[offset]) << 24) | (uint64_t(data[offset + 1]) << 16) |
                            (uint64_t(data[offset + 2]) << 8) | uint64_t(data[offset + 3]);
    const uint64_t end = offset + 4 + length;
    if (end > data.size()) break;
    appendUnit(out, data.subspan(offset + 4, static_cast<size_t>(length)));
    offset = static_cast<size_t>(end);
  }
  return out;
}

uint64_t microsecondsSince(double origin, double time) {
  const double seconds = time - origin;
  if (!(seconds > 0)) return 0;
  const double nanoseconds = std::round(seconds * 1e9);
  if (nanoseconds >= 0x1p64) return UINT64_MAX / 1000;
  return static_cast<uint64_t>(nanoseconds) / 1000;
}

void H264Packager::cacheParameterSets(const EncodedFrame& frame) {
  // A missing or empty set leaves the cached copy as it was.
  if (frame.parameterSets.size() > 0 && !frame.parameterSets[0].empty()) sps_ = frame.parameterSets[0];
  if (frame.parameterSets.size() > 1 && !frame.parameterSets[1].empty()) pps_ = frame.parameterSets[1];
}

std::optional<VideoPacket> H264Packager::package(const EncodedFrame& frame, std::optional<double> captureStart) {
  VideoPacket packet;
  packet.isKeyframe = !frame.notSync;
  packet.pts = captureStart ? microsecondsSince(*captureStart, frame.presentationTime) : 0;
  if (packet.isKeyframe) cacheParameterSets(frame);
  if (frame.lengthPrefixedNALs.empty()) return std::nullopt;
  packet.annexB = convertAVCCToAnnexB(frame.lengthPrefixedNALs, packet.isKeyframe, sps_, pps_);
  packet.sequence = nextSequence_++;  // wraps from 4294967295 to 0
  return packet;
}

}  // namespace qb
