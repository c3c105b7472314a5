#pragma once
// Drives build/qb-test-recorder from a test: starts it with the given options, sends its
// commands and waits for the lines it prints ("ready ...", "corked", "uncorked"). The
// recorder ends with the object. Header-only so that the backend and end-to-end tests share it.

#include <string>
#include <vector>

#include "PipedChild.hpp"

namespace qbtest {

class TestRecorder {
 public:
  // `binary`: path of qb-test-recorder; `options`: its flags ("--source=mic1", "--peak").
  TestRecorder(const std::string& binary, const std::vector<std::string>& options)
      : client_(argv(binary, options), 2) {}

  bool started() const { return client_.pid() > 0; }
  pid_t pid() const { return client_.pid(); }

  // Waits until it records ("ready ..."); that line, or empty after the timeout.
  std::string waitReady(double seconds = 5.0) { return waitForLine("ready ", seconds); }
  bool cork(double seconds = 5.0) { return command("cork", "corked", seconds); }
  bool uncork(double seconds = 5.0) { return command("uncork", "uncorked", seconds); }

  // The first line printed since the start that begins with `prefix`, or empty.
  std::string waitForLine(const std::string& prefix, double seconds) {
    return client_.lines().waitFor(prefix, 0, seconds).value_or("");
  }

 private:
  static std::vector<std::string> argv(const std::string& binary, const std::vector<std::string>& options) {
    std::vector<std::string> all{binary};
    all.insert(all.end(), options.begin(), options.end());
    return all;
  }
  bool command(const std::string& word, const std::string& answer, double seconds) {
    return client_.ask(word, seconds, [&](const std::string& l) { return l == answer; }).has_value();
  }

  PipedClient client_;
};

}  // namespace qbtest
