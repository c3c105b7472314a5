#include "sources/WavFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qb {

namespace {

std::string couldNotRead(const std::string& path, const std::string& why) {
  return "Could not read " + path + ": " + why;
}

}  // namespace

std::variant<std::shared_ptr<const WavFile>, std::string> WavFile::open(const std::string& path) {
  if (path.find('\0') != std::string::npos) return std::string("Invalid path: it contains a NUL byte");
  // Look before opening: opening a FIFO waits for a writer, and opening some devices
  // already does something.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return couldNotRead(path, std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return couldNotRead(path, S_ISDIR(st.st_mode) ? "Is a directory" : "not a regular file");
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return couldNotRead(path, std::strerror(errno));
  std::shared_ptr<WavFile> file(new WavFile());
  file->fd_ = fd;
  // The path may have been replaced between the two looks.
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return couldNotRead(path, "not a regular file");
  const auto size = static_cast<uint64_t>(st.st_size);
  if (size > kMaxFileBytes)
    return couldNotRead(path, std::to_string(size) + " bytes, more than the 4 GiB a WAV file can hold");
  auto parsed = parseWav(size, [&file](uint64_t offset, std::span<uint8_t> out) {
    size_t count = 0;
    return file->readAt(offset, out, &count) && count == out.size();
  });
  if (auto* error = std::get_if<WAVError>(&parsed)) return error->description();
  file->info_ = std::get<WavInfo>(parsed);
  return std::shared_ptr<const WavFile>(std::move(file));
}

std::variant<std::shared_ptr<const WavFile>, std::string> WavFile::fromBytes(std::vector<uint8_t> bytes) {
  auto parsed = parseWav(bytes);
  if (auto* error = std::get_if<WAVError>(&parsed)) return error->description();
  std::shared_ptr<WavFile> file(new WavFile());
  file->bytes_ = std::move(bytes);
  file->info_ = std::get<WavInfo>(parsed);
  return std::shared_ptr<const WavFile>(std::move(file));
}

WavFile::~WavFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool WavFile::readAt(uint64_t offset, std::span<uint8_t> out, size_t* count) const {
  *count = 0;
  if (fd_ < 0) {
    if (offset >= bytes_.size()) return true;
    *count = static_cast<size_t>(std::min<uint64_t>(out.size(), bytes_.size() - offset));
    std::memcpy(out.data(), bytes_.data() + offset, *count);
    return true;
  }
  while (*count < out.size()) {
    ssize_t n = ::pread(fd_, out.data() + *count, out.size() - *count, static_cast<off_t>(offset + *count));
    if (n > 0) {
      *count += static_cast<size_t>(n);
    } else if (n == 0) {
      return true;
    } else if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

size_t WavFile::readPcm(uint64_t offset, std::span<uint8_t> out) const {
  if (offset >= info_.dataSize) return 0;
  out = out.first(static_cast<size_t>(std::min<uint64_t>(out.size(), info_.dataSize - offset)));
  size_t count = 0;
  readAt(info_.dataOffset + offset, out, &count);
  return count;
}

}  // namespace qb
