#pragma once
// Builds WAV files in memory for tests: canonical 44-byte headers, or chunk layouts
// with extra chunks; and writes them to temporary files.

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace qb::testing {

inline void putU16(std::vector<uint8_t>& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void putU32(std::vector<uint8_t>& b, uint32_t v) {
  putU16(b, v & 0xFFFF);
  putU16(b, v >> 16);
}
inline void putTag(std::vector<uint8_t>& b, const char* tag) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(tag[i]));
}

struct WavSpec {
  uint32_t sampleRate = 48000;
  uint16_t channels = 2;
  uint16_t bitsPerSample = 16;
  uint16_t formatTag = 1;
  std::vector<uint8_t> data{};
  std::vector<std::vector<uint8_t>> chunksBeforeData{};  // whole chunks, header included
  std::vector<uint8_t> trailing{};                       // bytes after the data chunk
  bool unknownDataSize = false;                          // as streamed writers leave it
  bool extensible = false;                               // WAVE_FORMAT_EXTENSIBLE, PCM inside
};

inline std::vector<uint8_t> chunk(const char* tag, std::vector<uint8_t> body) {
  std::vector<uint8_t> c;
  putTag(c, tag);
  putU32(c, static_cast<uint32_t>(body.size()));
  c.insert(c.end(), body.begin(), body.end());
  if (body.size() % 2) c.push_back(0);
  return c;
}

inline std::vector<uint8_t> makeWav(const WavSpec& s) {
  std::vector<uint8_t> b;
  putTag(b, "RIFF");
  putU32(b, 0);  // patched below
  putTag(b, "WAVE");
  putTag(b, "fmt ");
  putU32(b, s.extensible ? 40 : 16);
  putU16(b, s.extensible ? 0xFFFE : s.formatTag);
  putU16(b, s.channels);
  putU32(b, s.sampleRate);
  putU32(b, s.sampleRate * s.channels * s.bitsPerSample / 8);
  putU16(b, static_cast<uint32_t>(s.channels * s.bitsPerSample / 8));
  putU16(b, s.bitsPerSample);
  if (s.extensible) {  // extension size, valid bits, channel mask, the PCM sub-format
    putU16(b, 22);
    putU16(b, s.bitsPerSample);
    putU32(b, 0x3F);
    for (uint8_t g : {0x01, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71}) b.push_back(g);
  }
  for (auto& c : s.chunksBeforeData) b.insert(b.end(), c.begin(), c.end());
  putTag(b, "data");
  putU32(b, s.unknownDataSize ? 0xFFFFFFFFu : static_cast<uint32_t>(s.data.size()));
  b.insert(b.end(), s.data.begin(), s.data.end());
  b.insert(b.end(), s.trailing.begin(), s.trailing.end());
  uint32_t riffSize = static_cast<uint32_t>(b.size() - 8);
  for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<uint8_t>(riffSize >> (8 * i));
  return b;
}

inline std::vector<uint8_t> int16Samples(const std::vector<int16_t>& values) {
  std::vector<uint8_t> out;
  for (auto v : values) putU16(out, static_cast<uint16_t>(v));
  return out;
}

// A file of `bytes` in the temporary directory, removed with the object.
class TempFile {
 public:
  TempFile(const std::string& name, const std::vector<uint8_t>& bytes)
      : path_((std::filesystem::temp_directory_path() / ("qb-" + std::to_string(::getpid()) + "-" + name)).string()) {
    std::ofstream(path_, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() { std::filesystem::remove(path_); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace qb::testing
