#pragma once
// Drives one qb-test-window (tools/testbed/) from a test: starts it, waits until its window
// is shown, sends commands and waits for their answers, and collects what it prints (such
// as "ok colour N SECONDS" lines). Destroying the object ends the client.
//
// The binary is the one beside the running test binary, or $QB_TEST_WINDOW.

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "clients/PipedChild.hpp"

namespace qb::testenv {

inline std::string testWindowBinary() {
  if (const char* env = std::getenv("QB_TEST_WINDOW"); env && *env) return env;
  char self[4096] = {};
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  std::string dir = n > 0 ? std::string(self, size_t(n)) : std::string();
  dir = dir.substr(0, dir.rfind('/'));
  return dir + "/qb-test-window";
}

class TestWindowClient {
 public:
  // `args` are qb-test-window's options. Check ok() afterwards.
  explicit TestWindowClient(const std::vector<std::string>& args) : client_(argv(args), -1) {
    if (auto ready = client_.lines().waitFor("ready ", 0, 20)) id_ = uint32_t(std::stoul(ready->substr(6)));
  }

  bool ok() const { return id_ != 0; }
  uint32_t id() const { return id_; }
  pid_t pid() const { return client_.pid(); }

  // Sends one command and waits for its answer; true when it is "ok".
  bool command(const std::string& line, double seconds = 10) {
    const std::string word = line.substr(0, line.find(' '));
    auto answer = client_.ask(line, seconds, [&](const std::string& l) {
      return l == "ok " + word || l.starts_with("ok " + word + " ") || l.starts_with("error " + word + ":");
    });
    return answer && answer->starts_with("ok ");
  }

  // Every line printed so far that starts with `prefix`.
  std::vector<std::string> linesStartingWith(const std::string& prefix) { return client_.lines().startingWith(prefix); }

  // Ends the client at once, as a crash would.
  void kill() { client_.kill(); }

 private:
  static std::vector<std::string> argv(const std::vector<std::string>& args) {
    std::vector<std::string> all = {testWindowBinary()};
    all.insert(all.end(), args.begin(), args.end());
    return all;
  }

  qbtest::PipedClient client_;
  uint32_t id_ = 0;
};

}  // namespace qb::testenv
