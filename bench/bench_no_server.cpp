// How long the built helper keeps a host waiting when there is no sound server: ten
// commands that need the server, then HEALTH_CHECK, sent at once, for each way the server
// can be missing (no socket, a socket that refuses, a socket that accepts and never
// answers). Prints the slowest answer of the ten and when HEALTH_CHECK was answered.
// Targets: each answer within 100 ms of the one before it, HEALTH_CHECK within 1 s.
//
//   bench_no_server [--binary PATH]
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "HelperProcess.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Sent in this order; each is answered by a line that starts with its prefix.
struct Command {
  const char* text;
  const char* answerPrefix;
};
const Command kCommands[] = {
    {"LIST_DEVICES", "CMD_RESPONSE:DEVICES_LIST:"},
    {"GET_CURRENT_MIC", "CMD_RESPONSE:CURRENT_MIC:"},
    {"GET_DEVICE_DIAGNOSTIC", "EVENT:DEVICE_DIAGNOSTIC_REQUESTED"},
    {"START_STREAMING", "CMD_RESPONSE:STREAMING:"},
    {"LIST_DEVICES", "CMD_RESPONSE:DEVICES_LIST:"},
    {"GET_CURRENT_MIC", "CMD_RESPONSE:CURRENT_MIC:"},
    {"START_MIC_MONITORING", "CMD_RESPONSE:MIC_MONITORING:"},
    {"GET_DEVICE_DIAGNOSTIC", "EVENT:DEVICE_DIAGNOSTIC_REQUESTED"},
    {"LIST_DEVICES", "CMD_RESPONSE:DEVICES_LIST:"},
    {"GET_CURRENT_MIC", "CMD_RESPONSE:CURRENT_MIC:"},
};

// A unix socket at `path`: listening (connections wait in its backlog, never answered) or
// bound only (connections are refused). Closed and removed with the object.
class DeadServer {
 public:
  DeadServer(const std::string& path, bool listening) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ::unlink(path.c_str());
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listening) ::listen(fd_, 64);
  }
  ~DeadServer() {
    ::close(fd_);
    ::unlink(path_.c_str());
  }

 private:
  std::string path_;
  int fd_ = -1;
};

void measure(const std::string& binary, const char* label, const std::string& socketPath) {
  qbtools::HelperOptions options;
  options.binary = binary;
  options.keepFramePayloads = false;
  options.env = {{"PULSE_SERVER", "unix:" + socketPath}};
  qbtools::HelperProcess helper(options);
  helper.send("HEALTH_CHECK");
  if (!helper.waitForResponsePrefix("HEALTH_OK:", 10)) {
    std::printf("  %-22s the helper did not answer at all\n", label);
    return;
  }
  const uint64_t from = helper.lineCount();
  const auto t0 = Clock::now();
  for (const auto& c : kCommands) helper.send(c.text);
  helper.send("HEALTH_CHECK");
  auto sinceStart = [&](Clock::time_point t) { return std::chrono::duration<double>(t - t0).count(); };

  double previous = 0, slowest = 0;
  uint64_t at = from;
  bool all = true;
  for (const auto& c : kCommands) {
    auto line =
        helper.waitForLine([&](const qbtools::Line& l) { return l.text.rfind(c.answerPrefix, 0) == 0; }, 30, at);
    if (!line) {
      std::printf("  %-22s %s: no answer in 30 s\n", label, c.text);
      all = false;
      break;
    }
    at = line->index + 1;
    const double t = sinceStart(line->received);
    slowest = std::max(slowest, t - previous);
    previous = t;
  }
  auto health = helper.waitForResponsePrefix("HEALTH_OK:", 30, from);
  const double healthAt = health ? sinceStart(health->received) : -1;
  std::printf("  %-22s slowest of the ten %6.1f ms, all ten %6.1f ms, HEALTH_CHECK %6.1f ms: %s\n", label,
              slowest * 1e3, previous * 1e3, healthAt * 1e3,
              all && health && slowest <= 0.1 && healthAt <= 1.0 ? "met" : "NOT met");
  helper.send("STOP");
  helper.waitForExit(10);
}

}  // namespace

int main(int argc, char** argv) {
  std::string binary = (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "quellbrook").string();
  for (int i = 1; i + 1 < argc; i += 2)
    if (std::string(argv[i]) == "--binary") binary = argv[i + 1];
  ::signal(SIGPIPE, SIG_IGN);
  const auto dir = std::filesystem::temp_directory_path() / ("qb-no-server-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::printf("== ten server commands and HEALTH_CHECK without a sound server (%s)\n", binary.c_str());
  measure(binary, "no socket:", (dir / "absent").string());
  {
    DeadServer refusing((dir / "refusing").string(), false);
    measure(binary, "refused:", (dir / "refusing").string());
  }
  {
    DeadServer silent((dir / "silent").string(), true);
    measure(binary, "never answers:", (dir / "silent").string());
  }
  std::filesystem::remove_all(dir);
  return 0;
}
