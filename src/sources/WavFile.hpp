#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "sources/WavParser.hpp"

namespace qb {

// A WAV file opened for playback: its format, and its PCM bytes read as they are played,
// so that a file of any length costs no memory and no time to load, and both channels of
// TEST_WAV share one open file. Thread-safe (reads do not share a file position).
class WavFile {
 public:
  // The most a RIFF header can describe.
  static constexpr uint64_t kMaxFileBytes = uint64_t{1} << 32;

  // Only regular files: a FIFO, a terminal or a device such as /dev/zero would block the
  // caller or never end. Opens without blocking; reads the header and chunk list only.
  static std::variant<std::shared_ptr<const WavFile>, std::string> open(const std::string& path);
  // The same from bytes in memory (tests, fuzzing).
  static std::variant<std::shared_ptr<const WavFile>, std::string> fromBytes(std::vector<uint8_t> bytes);

  ~WavFile();
  WavFile(const WavFile&) = delete;
  WavFile& operator=(const WavFile&) = delete;

  const WavInfo& info() const { return info_; }
  // Fills `out` with PCM bytes from `offset` into the data; the count read, short at the
  // end of the data or where the file has shrunk since it was opened.
  size_t readPcm(uint64_t offset, std::span<uint8_t> out) const;

 private:
  WavFile() = default;
  bool readAt(uint64_t offset, std::span<uint8_t> out, size_t* count) const;

  int fd_ = -1;
  std::vector<uint8_t> bytes_;  // when not backed by a file
  WavInfo info_;
};

}  // namespace qb
