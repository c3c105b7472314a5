#pragma once
// Shared pieces of the live-audio end-to-end tests: the private sound server of
// scripts/test-env (found through PULSE_SERVER), tones played into its sinks, its state
// read and changed with pactl, and measurements of the frames a helper writes.

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ProtocolReader.hpp"
#include "TonePlayer.hpp"

namespace qb::e2e {

using qbtools::Frame;
using qbtools::Timestamp;

inline constexpr uint8_t kMic = 1;
inline constexpr uint8_t kSystem = 2;

// Why the live tests cannot run here (no private sound server or display), or nothing.
std::optional<std::string> missingLiveEnvironment();

// ---- Processes -------------------------------------------------------------------------

struct ProcessResult {
  bool finished = false;  // false: killed at the timeout
  int exitCode = -1;
  std::string output;  // standard output and error together
  bool ok() const { return finished && exitCode == 0; }
};

// Runs argv[0] (looked up in PATH) with the test's environment and waits for it.
ProcessResult runProcess(const std::vector<std::string>& argv, double timeoutSeconds = 10);
ProcessResult pactl(const std::vector<std::string>& args);
// scripts/test-env with the arguments (the environment names the script).
ProcessResult testEnv(const std::vector<std::string>& args, double timeoutSeconds = 30);

// A child process that lives as long as this object: killed (SIGKILL) and reaped when it
// is destroyed. Its output goes to /dev/null; its input is a pipe when asked for.
class ChildGuard {
 public:
  explicit ChildGuard(const std::vector<std::string>& argv, bool pipeStdin = false);
  ~ChildGuard();
  ChildGuard(const ChildGuard&) = delete;
  ChildGuard& operator=(const ChildGuard&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  bool running() const;
  int stdinFd() const { return stdinFd_; }
  void kill();

 private:
  pid_t pid_ = -1;
  int stdinFd_ = -1;
};

// ---- Tones -----------------------------------------------------------------------------

using qbtools::toneLevel;
using qbtools::TonePlayer;

// ---- Sound-server state ----------------------------------------------------------------

struct SourceOutput {
  uint32_t index = 0;
  uint32_t source = 0;
  long pid = 0;
  std::string mediaName;
};
std::vector<SourceOutput> sourceOutputs();
std::string defaultSink();
std::string defaultSource();
// Index of the module that made the sink (source), if it exists.
std::optional<uint32_t> sinkModule(const std::string& sinkName);
std::optional<uint32_t> sourceModule(const std::string& sourceName);
// Puts back what a test may have changed: the speakers sink, the mic2 source, and speakers
// and mic1 as the defaults. Returns a description of what failed, empty when all is well.
std::string restoreSoundServer();

// ---- Frames ----------------------------------------------------------------------------

std::vector<Frame> framesOf(const std::vector<Frame>& all, uint8_t type, Timestamp since = {});
// RMS of the payload's 16-bit samples, relative to 32767 (the helper's level measure).
double payloadLevel(const Frame& frame);
// Frequency of the left channel of consecutive frames, from its upward zero crossings.
double toneFrequency(const std::vector<Frame>& frames);
// Amplitude (relative to 32767) of the left channel's component at `frequency`; exact for
// tones with a whole number of cycles in a frame (multiples of 50 Hz).
double toneAmplitude(const Frame& frame, double frequency);
// The left channel of consecutive frames as one signal.
std::vector<int16_t> leftChannel(const std::vector<Frame>& frames);
// Index of the first frame whose sequence number is not its predecessor's plus one, or
// frames.size() when they are contiguous.
size_t firstSequenceBreak(const std::vector<Frame>& frames);
double secondsBetween(Timestamp a, Timestamp b);

}  // namespace qb::e2e
