#pragma once
// What the real-server tests need of the private test environment (scripts/test-env):
// its sound server and display, commands run against them, and child processes such as
// a tone or an external recording that end with the test.
//
// Tests that use it skip when PULSE_SERVER is not set:
//   eval "$(scripts/test-env start)" && build/linux_tests

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pulse/introspect.h>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TonePlayer.hpp"
#include "platform/linux/pulse/PulseConnection.hpp"
#include "platform/linux/pulse/PulseDecisions.hpp"

#define QB_REQUIRE_TEST_SERVER()                                                               \
  do {                                                                                         \
    if (!::qb::testenv::serverAvailable())                                                     \
      GTEST_SKIP() << "no private sound server: run eval \"$(scripts/test-env start)\" first " \
                      "(PULSE_SERVER and QB_TEST_ENV_SCRIPT must be set)";                     \
  } while (0)

namespace qb::testenv {

inline std::string envOr(const char* name, const std::string& fallback = {}) {
  const char* v = std::getenv(name);
  return v && *v ? v : fallback;
}

inline bool serverAvailable() { return !envOr("PULSE_SERVER").empty() && !envOr("QB_TEST_ENV_SCRIPT").empty(); }

// Runs a shell command; its standard output, or none when it failed.
inline std::optional<std::string> run(const std::string& command) {
  std::string out;
  FILE* p = ::popen((command + " 2>/dev/null").c_str(), "r");
  if (!p) return std::nullopt;
  std::array<char, 4096> buf;
  size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
  const int status = ::pclose(p);
  if (status != 0) return std::nullopt;
  return out;
}

inline std::string script() { return envOr("QB_TEST_ENV_SCRIPT"); }
inline bool testEnv(const std::string& args) { return run(script() + " " + args + " >/dev/null").has_value(); }

inline bool pactl(const std::string& args) { return run("pactl " + args).has_value(); }

inline nlohmann::json pactlJson(const std::string& args) {
  auto out = run("pactl --format=json " + args);
  if (!out) return nlohmann::json::array();
  auto j = nlohmann::json::parse(*out, nullptr, false);
  return j.is_discarded() ? nlohmann::json::array() : j;
}

// Polls in real time: these tests are about real I/O.
inline bool waitUntil(const std::function<bool()>& pred, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (true) {
    if (pred()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// The process that answers the PulseAudio protocol (on PipeWire, pipewire-pulse).
inline std::optional<int> serverPid() {
  const bool pipewire = envOr("QB_TEST_ENV_SOUND") == "pipewire";
  std::ifstream f(envOr("QB_TEST_ENV_DIR", "/tmp/quellbrook-test-env") +
                  (pipewire ? "/pipewire-pulse.pid" : "/pulse.pid"));
  int pid = 0;
  if (f >> pid && pid > 0) return pid;
  return std::nullopt;
}

// Index -> name of every source.
inline std::string sourceName(int index) {
  for (auto& s : pactlJson("list sources"))
    if (s.value("index", -1) == index) return s.value("name", "");
  return {};
}

// The sources our record streams with this media name are attached to (one per stream).
inline std::vector<std::string> sourcesRecordedBy(const std::string& mediaName) {
  std::vector<std::string> out;
  for (auto& so : pactlJson("list source-outputs")) {
    auto props = so.value("properties", nlohmann::json::object());
    if (props.value("media.name", "") == mediaName) out.push_back(sourceName(so.value("source", -1)));
  }
  return out;
}

inline std::vector<int> sourceOutputsNamed(const std::string& mediaName) {
  std::vector<int> out;
  for (auto& so : pactlJson("list source-outputs")) {
    auto props = so.value("properties", nlohmann::json::object());
    if (props.value("media.name", "") == mediaName) out.push_back(so.value("index", -1));
  }
  return out;
}

// The format the server gives a source ("float32le 1ch 48000Hz"), as the backend describes it.
inline std::optional<StreamDescription> sourceFormat(const std::string& source) {
  for (auto& s : pactlJson("list sources")) {
    if (s.value("name", "") != source) continue;
    std::istringstream spec(s.value("sample_specification", ""));
    std::string format, channels, rate;
    spec >> format >> channels >> rate;
    const std::map<std::string, pulse::SampleKind> kinds = {{"u8", pulse::SampleKind::u8},
                                                            {"s16le", pulse::SampleKind::s16le},
                                                            {"s32le", pulse::SampleKind::s32le},
                                                            {"float32le", pulse::SampleKind::float32le}};
    auto kind = kinds.find(format);
    if (kind == kinds.end()) return std::nullopt;
    return pulse::describe(kind->second, uint32_t(std::atoi(rate.c_str())), uint32_t(std::atoi(channels.c_str())));
  }
  return std::nullopt;
}

inline bool isMonitorName(const std::string& source) {
  return source.size() > 8 && source.compare(source.size() - 8, 8, ".monitor") == 0;
}

// Ends a record stream as another client would (pactl cannot): through a connection of
// its own. True when the server did it.
inline bool killSourceOutput(int index) {
  pulse::PulseConnection other;
  pulse::PulseMainLoop::Lock lock(other.loop());
  if (!other.waitReady(5)) return false;
  int success = 0;
  bool done = other.runOperation(
      [&](pa_context* c) {
        return pa_context_kill_source_output(
            c, static_cast<uint32_t>(index), [](pa_context*, int ok, void* ud) { *static_cast<int*>(ud) = ok; },
            &success);
      },
      5);
  return done && success;
}

// A child process in its own process group, ended (group and all) with the object.
class Background {
 public:
  explicit Background(const std::string& command) {
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setpgid(0, 0);
      ::execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    if (pid_ > 0) ::setpgid(pid_, pid_);
  }
  ~Background() { stop(); }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;
  void stop() {
    if (pid_ <= 0) return;
    ::kill(-pid_, SIGTERM);
    int status;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

// A sine into a sink (mic1/mic2 mean their feeds) for `seconds`, played by the tests' own
// player straight into the server.
inline std::unique_ptr<qbtools::TonePlayer> playTone(const std::string& sink, double freq, double amp,
                                                     int seconds = 30) {
  return std::make_unique<qbtools::TonePlayer>(sink, freq, amp, 100, seconds);
}

}  // namespace qb::testenv
