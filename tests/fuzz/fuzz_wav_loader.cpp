// WAV headers come from any file a host names: parse them, and play what parses for a
// few periods so the block arithmetic sees the odd rates and channel counts too.
#include <cstddef>
#include <cstdint>
#include <span>

#include "runtime/ManualExecutor.hpp"
#include "sources/WAVFileSource.hpp"
#include "sources/WavParser.hpp"
#include "wire/Output.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> bytes(data, size);
  auto parsed = qb::parseWav(bytes);
  auto* info = std::get_if<qb::WavInfo>(&parsed);
  if (!info) return 0;
  if (info->dataOffset + info->dataSize > size) __builtin_trap();
  if (info->sampleRate == 0 || info->channels == 0 || info->bitsPerSample != 16) __builtin_trap();

  qb::ScopedOutputSink quiet(qb::OutputSink{[](std::span<const uint8_t>) {}, [](std::string_view) {}});
  qb::ManualExecutor executor;
  auto loaded = qb::WAVFileSource::fromBytes(executor, "fuzz.wav", bytes, qb::AudioProtocol::FrameType::mic);
  auto* source = std::get_if<std::shared_ptr<qb::WAVFileSource>>(&loaded);
  if (!source) __builtin_trap();  // parse succeeded, so loading must too
  size_t delivered = 0;
  (*source)->setOnAudioData([&](std::span<const uint8_t> block, int64_t) {
    if (block.size() % 4) __builtin_trap();  // whole stereo sample frames only
    delivered += block.size();
  });
  (*source)->start();
  executor.advance(0.1);
  (*source)->stop();
  executor.advance(0.05);
  return 0;
}
