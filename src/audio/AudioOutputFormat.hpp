#pragma once
// The one PCM format every audio path converges on; also the payload of audio frames.

#include <cstdint>

namespace qb {

namespace AudioOutputFormat {
inline constexpr int sampleRate = 48000;
inline constexpr int channels = 2;
inline constexpr int bitsPerSample = 16;
inline constexpr int frameSize = 3840;  // 960 sample frames x 2 channels x 2 bytes
inline constexpr double frameDuration = 0.02;
inline constexpr int bytesPerSampleFrame = channels * bitsPerSample / 8;
inline constexpr int samplesPerFrame = frameSize / bytesPerSampleFrame;
}  // namespace AudioOutputFormat

static_assert(AudioOutputFormat::frameSize ==
              AudioOutputFormat::sampleRate / 50 * AudioOutputFormat::channels * AudioOutputFormat::bitsPerSample / 8);

}  // namespace qb
