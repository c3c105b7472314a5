#pragma once
// A capture buffer as PCM in the device's own format, and the level of such PCM: the
// microphone source and the running-microphones sampler measure the same way. Pure; any
// thread.

#include <optional>

#include "platform/AudioBuffer.hpp"

namespace qb {

// Why a buffer gave no PCM, for callers that log it.
enum class SampleBufferPcmProblem {
  none,
  unusable,             // no description, no frames, or two channels that cannot be described
  copyFailed,           // the bytes do not cover the frames (kCopyPcmDataTooShort)
  noMonoFormat,         // channel 0 of a wider buffer has no PCM format
  noData,               // no bytes at all
  planarTooShort,       // channel 0's plane is cut short
  interleavedTooShort,  // the frames are cut short
};

struct SampleBufferPcm {
  std::optional<PcmBuffer> buffer;
  SampleBufferPcmProblem problem = SampleBufferPcmProblem::none;
  // More than two channels (without a layout) cannot be described: channel 0 was taken
  // as mono, or would have been.
  bool monoFallback = false;
};

SampleBufferPcm sampleBufferToPcm(const AudioSampleBuffer& sampleBuffer);

// Root mean square of every sample (16-bit ones scaled by 1/32768); 0 for an empty buffer
// and for sample types other than float32 and int16.
double pcmLevel(const PcmBuffer& buffer);

}  // namespace qb
