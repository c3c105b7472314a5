#pragma once
// Stream descriptions and synthetic sample buffers for the simulated services and
// their tests.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/AudioBuffer.hpp"

namespace qb {

// Linear PCM description of a native device format: Float32, Float64, Int16, Int32 or
// UInt8 (offset binary), any channel count, interleaved or planar.
StreamDescription pcmDescription(SampleFormat format, double sampleRate, uint32_t channels, bool interleaved);

// The sample format a description stands for (Other when it is not one of the above).
SampleFormat sampleFormatOf(const StreamDescription& d);

// A buffer in format `d` holding `frames` frames of `interleaved` (frames x channels
// floats in -1..1), converted to the format's sample type and layout.
AudioSampleBuffer sampleBufferFromFloats(const StreamDescription& d, const std::vector<float>& interleaved);

// `frames` frames of a sine of `frequency` Hz and peak `amplitude` in every channel.
// `phase` (radians) carries over from one buffer to the next.
AudioSampleBuffer sineBuffer(const StreamDescription& d, size_t frames, double frequency, double amplitude,
                             double& phase);

// How cleanly the left channel of interleaved Int16 stereo carries a sine of `frequency`
// Hz: signal to (noise + distortion) in dB against the best-fitting sine, from frame
// `skipFrames` on.
double sineSnrDb(const std::vector<int16_t>& stereo, double frequency, double sampleRate, size_t skipFrames);

}  // namespace qb
