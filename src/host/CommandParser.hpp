#pragma once
// Splitting of command lines and of standard input into lines: pure logic, no I/O.

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qb {

// One command line split at its first ':'. The word is upper-cased (ASCII letters
// only; other bytes are kept as they are); nothing is trimmed. A line without ':' has
// no argument, which differs from an empty argument ("WORD:").
struct CommandLine {
  std::string command;
  std::optional<std::string> argument;
};

CommandLine parseCommandLine(std::string_view line);

// Cuts a byte stream into lines: strips "\n" and one "\r" before it, repairs invalid
// UTF-8 (U+FFFD), and drops lines longer than maxLineBytes without holding more than
// that many bytes of them. Feed chunks in order; call finish() at end of input, which
// delivers an unterminated last line like any other.
class LineSplitter {
 public:
  static constexpr size_t kMaxLineBytes = 1 << 20;

  struct Handlers {
    std::function<void(std::string line)> onLine;
    // A dropped line and its full length in bytes (without the newline).
    std::function<void(size_t length)> onOverlong;
  };

  explicit LineSplitter(Handlers handlers, size_t maxLineBytes = kMaxLineBytes);
  void feed(std::span<const char> bytes);
  void finish();
  // Bytes held for the current line; never more than maxLineBytes.
  size_t bufferedBytes() const { return partial_.size(); }

 private:
  void endLine();

  Handlers handlers_;
  size_t maxLineBytes_;
  std::string partial_;
  bool discarding_ = false;
  size_t discardedBytes_ = 0;
};

}  // namespace qb
