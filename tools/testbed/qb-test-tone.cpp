// Plays a sine into a sink of the sound server named by PULSE_SERVER, for the tests and by
// hand (scripts/test-env play):
//
//   qb-test-tone SINK FREQUENCY AMPLITUDE SECONDS
//
// SINK mic1/mic2 means the sink that feeds that test microphone. Exits once the tone has
// been played, with pacat's status.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "TonePlayer.hpp"
#include "ToolOptions.hpp"

int main(int argc, char** argv) {
  auto number = [](const char* text, double& out) {
    char* end = nullptr;
    out = std::strtod(text, &end);
    return end != text && *end == '\0';
  };
  double frequency = 0, amplitude = 0;
  std::optional<double> seconds;
  if (argc == 5) seconds = qbtools::parseSeconds(argv[4]);
  if (argc != 5 || !number(argv[2], frequency) || frequency <= 0 || !number(argv[3], amplitude) || amplitude < 0 ||
      amplitude > 1 || !seconds || *seconds <= 0) {
    std::fprintf(stderr, "usage: qb-test-tone SINK FREQUENCY AMPLITUDE SECONDS (amplitude 0..1, seconds > 0)\n");
    return 2;
  }
  qbtools::TonePlayer tone(argv[1], frequency, amplitude, 40, *seconds);
  if (!tone.started()) {
    std::fprintf(stderr, "qb-test-tone: cannot start pacat\n");
    return 1;
  }
  const int status = tone.wait();
  if (status != 0)
    std::fprintf(stderr, "qb-test-tone: pacat ended with status %d (is there a sink %s?)\n", status, argv[1]);
  return status == 0 ? 0 : 1;
}
