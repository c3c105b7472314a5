#pragma once
// A 16-bit PCM WAV file written as audio frames arrive; the sizes in its header are
// filled in when it is closed (or destroyed).

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace qbtools {

class WavWriter {
 public:
  static constexpr uint64_t kHeaderBytes = 44;  // the PCM follows at once

  WavWriter() = default;
  ~WavWriter() { close(); }
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;

  bool open(const std::string& path, uint32_t rate = 48000, uint16_t channels = 2, uint16_t bits = 16);
  void append(const std::vector<uint8_t>& pcm);
  uint64_t dataBytes() const { return dataBytes_; }
  void close();

 private:
  void writeHeader(uint32_t dataBytes);

  std::ofstream file_;
  uint64_t dataBytes_ = 0;
  uint32_t rate_ = 48000;
  uint16_t channels_ = 2;
  uint16_t bits_ = 16;
};

}  // namespace qbtools
