#pragma once
// Shared pieces of the unit tests: captured output, and scripted input for the host's loop.

#include <concepts>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ProtocolReader.hpp"
#include "host/LineQueue.hpp"
#include "wire/Output.hpp"

namespace qbtest {

// Records everything the output writers produce for the life of the object: the bytes and
// the frames they hold on standard output, the lines on standard error.
class CapturedOutput {
 public:
  CapturedOutput()
      : sink_(qb::OutputSink{
            .stdoutBytes =
                [this](std::span<const uint8_t> bytes) {
                  std::lock_guard lock(mutex_);
                  stdout_.insert(stdout_.end(), bytes.begin(), bytes.end());
                  for (auto& f : parser_.feed(bytes)) frames_.push_back(std::move(f));
                },
            .stderrLine =
                [this](std::string_view line) {
                  std::lock_guard lock(mutex_);
                  lines_.emplace_back(line.substr(0, line.size() - 1));  // without its "\n"
                  newlineTerminated_ = newlineTerminated_ && line.ends_with('\n');
                },
        }) {}

  std::vector<qbtools::Frame> frames(std::optional<uint8_t> type = {}) const {
    std::lock_guard lock(mutex_);
    std::vector<qbtools::Frame> out;
    for (auto& f : frames_)
      if (!type || f.type == *type) out.push_back(f);
    return out;
  }
  bool protocolFailed() const {
    std::lock_guard lock(mutex_);
    return parser_.failed();
  }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  std::vector<std::string> linesStartingWith(const std::string& prefix) const {
    std::vector<std::string> out;
    for (auto& l : lines())
      if (l.starts_with(prefix)) out.push_back(l);
    return out;
  }
  // Lines written after the first `from` lines.
  std::vector<std::string> linesFrom(size_t from) const {
    auto all = lines();
    return {all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end()};
  }
  // The "CMD_RESPONSE:" bodies in order.
  std::vector<std::string> responses() const {
    std::vector<std::string> out;
    for (const auto& l : linesStartingWith("CMD_RESPONSE:")) out.push_back(l.substr(13));
    return out;
  }
  bool contains(const std::string& line) const {
    for (const auto& l : lines())
      if (l == line) return true;
    return false;
  }
  std::vector<uint8_t> stdoutBytes() const {
    std::lock_guard lock(mutex_);
    return stdout_;
  }
  bool allNewlineTerminated() const {
    std::lock_guard lock(mutex_);
    return newlineTerminated_;
  }
  // Forgets what was recorded so far (a frame cut in two stays whole).
  void clear() {
    std::lock_guard lock(mutex_);
    stdout_.clear();
    frames_.clear();
    lines_.clear();
  }

 private:
  mutable std::mutex mutex_;
  qbtools::FrameParser parser_;
  std::vector<qbtools::Frame> frames_;
  std::vector<std::string> lines_;
  std::vector<uint8_t> stdout_;
  bool newlineTerminated_ = true;
  qb::ScopedOutputSink sink_;  // last: installed once the rest exists
};

// One entry of a script: an input line, or an action run when the loop asks for the
// next line (that is, after the previous command has completed).
struct ScriptStep {
  ScriptStep(const char* line) : line(line) {}
  ScriptStep(std::string line) : line(std::move(line)) {}
  template <class F>
  requires std::invocable<F&> ScriptStep(F action) : action(std::move(action)) {}
  std::string line;
  std::function<void()> action;
};

// A fixed list of input lines; ends when they run out.
class ScriptedLines final : public qb::LineSource {
 public:
  explicit ScriptedLines(std::vector<ScriptStep> steps) : steps_(steps.begin(), steps.end()) {}
  std::optional<std::string> nextLine() override {
    while (!steps_.empty() && steps_.front().action) {
      auto action = std::move(steps_.front().action);
      steps_.pop_front();
      action();
    }
    if (steps_.empty()) return std::nullopt;
    std::string line = std::move(steps_.front().line);
    steps_.pop_front();
    return line;
  }
  void shutdown() override { shutDown_ = true; }
  size_t remaining() const { return steps_.size(); }
  bool isShutDown() const { return shutDown_; }

 private:
  std::deque<ScriptStep> steps_;
  bool shutDown_ = false;
};

}  // namespace qbtest
