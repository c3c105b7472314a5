#pragma once
// The line that answers each command, so that a host sending commands one after another
// waits for the right one: most commands answer with a "CMD_RESPONSE:" line, a few with an
// event.

#include <optional>
#include <string>
#include <string_view>

#include "ProtocolReader.hpp"

namespace qbtools {

struct CommandAnswer {
  LineKind kind = LineKind::cmdResponse;
  std::string prefix;  // the answer's body starts with it

  bool answeredBy(const Line& line) const { return line.kind == kind && line.body.starts_with(prefix); }
};

// The command word of a command line: the text before the first ':', upper-cased (the
// helper takes commands in any case).
std::string commandWord(std::string_view commandLine);

// What answers `commandLine`; none for a command the helper does not answer (an unknown
// one among them), which a host only sees acknowledged by its "Received command:" line.
std::optional<CommandAnswer> expectedAnswer(std::string_view commandLine);

}  // namespace qbtools
