#include "host/CommandParser.hpp"

#include <cstring>

#include "wire/LineText.hpp"

namespace qb {

CommandLine parseCommandLine(std::string_view line) {
  CommandLine out;
  size_t colon = line.find(':');
  std::string_view word = line.substr(0, colon);
  out.command.reserve(word.size());
  for (char c : word) out.command.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
  if (colon != std::string_view::npos) out.argument.emplace(line.substr(colon + 1));
  return out;
}

LineSplitter::LineSplitter(Handlers handlers, size_t maxLineBytes)
    : handlers_(std::move(handlers)), maxLineBytes_(maxLineBytes) {}

void LineSplitter::feed(std::span<const char> bytes) {
  const char* p = bytes.data();
  const char* end = p + bytes.size();
  while (p < end) {
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    const char* stop = nl ? nl : end;
    size_t n = static_cast<size_t>(stop - p);
    if (discarding_) {
      discardedBytes_ += n;
    } else if (partial_.size() + n > maxLineBytes_ + 1) {
      // Past the limit (plus one byte for a "\r" that the newline may still strip):
      // forget what we held and only count from here on.
      discarding_ = true;
      discardedBytes_ = partial_.size() + n;
      partial_.clear();
      partial_.shrink_to_fit();
    } else {
      partial_.append(p, n);
    }
    if (!nl) break;
    endLine();
    p = nl + 1;
  }
}

void LineSplitter::endLine() {
  if (discarding_) {
    size_t length = discardedBytes_;
    discarding_ = false;
    discardedBytes_ = 0;
    if (handlers_.onOverlong) handlers_.onOverlong(length);
    return;
  }
  std::string line = std::move(partial_);
  partial_.clear();
  size_t rawLength = line.size();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.size() > maxLineBytes_) {  // the one byte of slack held no "\r"
    if (handlers_.onOverlong) handlers_.onOverlong(rawLength);
    return;
  }
  if (handlers_.onLine) handlers_.onLine(isValidUtf8(line) ? std::move(line) : repairUtf8(line));
}

void LineSplitter::finish() {
  if (discarding_ || !partial_.empty()) endLine();
}

}  // namespace qb
