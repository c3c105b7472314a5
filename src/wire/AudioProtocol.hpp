#pragma once
// The binary frame formats on standard output.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace qb {

namespace AudioProtocol {

inline constexpr std::array<uint8_t, 4> magicBytes{0x41, 0x50, 0x4C, 0x44};  // "APLD"
inline constexpr uint8_t version = 1;
inline constexpr int headerSize = 24;
inline constexpr uint8_t videoVersion = 2;
inline constexpr int videoHeaderSize = 32;

enum class FrameType : uint8_t { mic = 1, system = 2, video = 3 };

inline std::optional<FrameType> frameTypeFromRaw(uint8_t raw) {
  if (raw >= 1 && raw <= 3) return static_cast<FrameType>(raw);
  return std::nullopt;
}

}  // namespace AudioProtocol

// Level field of an audio header: rms clamped to 0...1, scaled to 65535, truncated.
uint16_t levelField(double rms);

// Whole frames as they go on the wire; header and payload in one buffer.
std::vector<uint8_t> encodeAudioFrame(AudioProtocol::FrameType type, uint16_t sampleRate, uint8_t channels,
                                      uint8_t bitsPerSample, double rms, std::span<const uint8_t> pcm,
                                      uint32_t sequence);
std::vector<uint8_t> encodeVideoFrame(uint16_t width, uint16_t height, uint8_t fps, bool isKeyframe, uint64_t pts,
                                      std::span<const uint8_t> nal, uint32_t sequence);

}  // namespace qb
