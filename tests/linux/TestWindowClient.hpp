#pragma once
// Drives one qb-test-window (tools/testbed/) from a test: starts it, waits until its window
// is shown, sends commands and waits for their answers, and collects what it prints (such
// as the counter's "paint N SECONDS" lines) on a reader thread, so a busy client never
// blocks on a full pipe. Destroying the object ends the client (SIGKILL if it lingers).
//
// The binary is the one beside the running test binary, or $QB_TEST_WINDOW.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "clients/ChildLines.hpp"
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
  // `args` are qb-test-window's options; `display` empty: DISPLAY. Check ok() afterwards.
  explicit TestWindowClient(const std::vector<std::string>& args, const std::string& display = {},
                            double readySeconds = 20) {
    std::vector<std::string> argv = {testWindowBinary()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> envStrings;
    std::vector<char*> envp;
    for (char** e = environ; *e; ++e)
      if (display.empty() || std::string(*e).rfind("DISPLAY=", 0) != 0) envStrings.push_back(*e);
    if (!display.empty()) envStrings.push_back("DISPLAY=" + display);
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    const qbtest::PipedChild child = qbtest::spawnPiped(argv, -1, envp.data());
    pid_ = child.pid;
    stdin_ = child.in;
    if (pid_ <= 0) return;
    lines_.start(child.out);
    if (auto ready = lines_.waitFor("ready ", 0, readySeconds)) id_ = uint32_t(std::stoul(ready->substr(6)));
  }
  ~TestWindowClient() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
    if (pid_ > 0) {
      // End of input ends it; a hung client is killed.
      for (int i = 0; i < 200 && ::waitpid(pid_, nullptr, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      kill();
    }
    lines_.join();
  }
  TestWindowClient(const TestWindowClient&) = delete;
  TestWindowClient& operator=(const TestWindowClient&) = delete;

  bool ok() const { return id_ != 0; }
  uint32_t id() const { return id_; }
  pid_t pid() const { return pid_; }

  // Sends one command and waits for its answer; true when it is "ok".
  bool command(const std::string& line, double seconds = 10) {
    if (stdin_ < 0) return false;
    // A client that died must fail the write, not end the test process.
    static const bool noSigpipe = (::signal(SIGPIPE, SIG_IGN), true);
    (void)noSigpipe;
    const size_t from = lines_.size();
    const std::string text = line + "\n";
    if (::write(stdin_, text.data(), text.size()) != ssize_t(text.size())) return false;
    const std::string word = line.substr(0, line.find(' '));
    auto answer = lines_.waitFor({}, from, seconds, [&](const std::string& l) {
      return l == "ok " + word || l.rfind("ok " + word + " ", 0) == 0 || l.rfind("error " + word + ":", 0) == 0;
    });
    return answer && answer->rfind("ok ", 0) == 0;
  }

  // Every line printed so far that starts with `prefix`.
  std::vector<std::string> linesStartingWith(const std::string& prefix) const { return lines_.startingWith(prefix); }

  // Ends the client at once, as a crash would.
  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  uint32_t id_ = 0;
  qbtest::ChildLines lines_;
};

}  // namespace qb::testenv
