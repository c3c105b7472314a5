// qb-test-burst: plays tone bursts at chosen moments, for the timing tests.
//
//   qb-test-burst SINK...
//
// Keeps a playback stream of silence (48 kHz mono s16le, about 60 ms ahead, so that a busy
// machine does not run it dry) on each SINK of the sound server named by PULSE_SERVER
// (mic1/mic2 mean the sinks that feed those test microphones), and obeys commands on
// standard input, one per line:
//
//   burst AT FREQUENCY SECONDS   a burst of a cosine at half of full scale (so its first
//                                sample is its loudest) whose first sample each sink plays at
//                                CLOCK_MONOTONIC second AT; answered "ok burst SINK WHEN" for
//                                each sink, WHEN being the server's own estimate of that
//                                moment, or "error burst: <why>" when AT is too soon
//   quit
//
// Prints "ready" once every stream plays. Ends at the end of standard input, on quit, or when
// the server goes away.

#include <pulse/pulseaudio.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kRate = 48000;

double monotonicSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

struct Burst {
  uint64_t start = 0;  // sample index in the stream
  uint64_t length = 0;
  double frequency = 0;
};

struct Player {
  std::string sink;
  pa_stream* stream = nullptr;
  uint64_t written = 0;  // samples
  std::vector<Burst> bursts;
  bool ready = false;
  bool failed = false;
};

pa_threaded_mainloop* loop = nullptr;

void fill(Player& p, size_t bytes) {
  std::vector<int16_t> samples(bytes / 2);
  for (size_t i = 0; i < samples.size(); ++i) {
    const uint64_t at = p.written + i;
    double v = 0;
    for (const auto& b : p.bursts)
      if (at >= b.start && at < b.start + b.length)
        v += 0.5 * std::cos(2 * M_PI * b.frequency * double(at - b.start) / kRate);
    samples[i] = int16_t(std::lround(std::clamp(v, -1.0, 1.0) * 32767));
  }
  pa_stream_write(p.stream, samples.data(), samples.size() * 2, nullptr, 0, PA_SEEK_RELATIVE);
  p.written += samples.size();
}

void onWrite(pa_stream*, size_t bytes, void* user) { fill(*static_cast<Player*>(user), bytes); }

void onState(pa_stream* s, void* user) {
  auto& p = *static_cast<Player*>(user);
  const auto state = pa_stream_get_state(s);
  p.ready = state == PA_STREAM_READY;
  p.failed = state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED;
  pa_threaded_mainloop_signal(loop, 0);
}

void onContext(pa_context*, void*) { pa_threaded_mainloop_signal(loop, 0); }
void onTiming(pa_stream*, void*) { pa_threaded_mainloop_signal(loop, 0); }

std::string feedSink(const std::string& name) { return name == "mic1" || name == "mic2" ? name + "_feed" : name; }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: qb-test-burst SINK...\n");
    return 2;
  }
  loop = pa_threaded_mainloop_new();
  pa_context* context = pa_context_new(pa_threaded_mainloop_get_api(loop), "qb-test-burst");
  pa_context_set_state_callback(context, onContext, nullptr);
  pa_threaded_mainloop_lock(loop);
  pa_threaded_mainloop_start(loop);
  pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
  auto contextState = [&] { return pa_context_get_state(context); };
  while (contextState() != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(contextState())) pa_threaded_mainloop_wait(loop);
  if (contextState() != PA_CONTEXT_READY) {
    pa_threaded_mainloop_unlock(loop);
    std::fprintf(stderr, "qb-test-burst: no sound server\n");
    return 1;
  }

  std::vector<std::unique_ptr<Player>> players;
  const pa_sample_spec spec{PA_SAMPLE_S16LE, kRate, 1};
  const uint32_t tenMs = kRate / 100 * 2;
  const pa_buffer_attr attr{uint32_t(-1), 6 * tenMs, 0, tenMs, uint32_t(-1)};
  for (int i = 1; i < argc; ++i) {
    auto p = std::make_unique<Player>();
    p->sink = argv[i];
    p->stream = pa_stream_new(context, "burst", &spec, nullptr);
    pa_stream_set_state_callback(p->stream, onState, p.get());
    pa_stream_set_write_callback(p->stream, onWrite, p.get());
    pa_stream_set_latency_update_callback(p->stream, onTiming, nullptr);
    const auto flags =
        pa_stream_flags_t(PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
    pa_stream_connect_playback(p->stream, feedSink(p->sink).c_str(), &attr, flags, nullptr, nullptr);
    players.push_back(std::move(p));
  }
  for (auto& p : players)
    while (!p->ready && !p->failed) pa_threaded_mainloop_wait(loop);
  for (auto& p : players) {
    if (p->failed) {
      pa_threaded_mainloop_unlock(loop);
      std::fprintf(stderr, "qb-test-burst: cannot play into %s\n", p->sink.c_str());
      return 1;
    }
    // Ready means the stream can say when what is written plays.
    pa_usec_t latency;
    int negative;
    while (pa_stream_get_latency(p->stream, &latency, &negative) != 0) pa_threaded_mainloop_wait(loop);
  }
  pa_threaded_mainloop_unlock(loop);
  std::printf("ready\n");
  std::fflush(stdout);

  for (std::string line; std::getline(std::cin, line);) {
    std::istringstream in(line);
    std::string word;
    in >> word;
    if (word == "quit") break;
    double at = 0, frequency = 0, seconds = 0;
    if (word != "burst" || !(in >> at >> frequency >> seconds) || frequency <= 0 || seconds <= 0) {
      std::printf("error %s: usage: burst AT FREQUENCY SECONDS\n", word.c_str());
      std::fflush(stdout);
      continue;
    }
    std::ostringstream answer;
    pa_threaded_mainloop_lock(loop);
    for (auto& p : players) {
      // The next sample written plays `latency` from now.
      pa_usec_t latency = 0;
      int negative = 0;
      const double now = monotonicSeconds();
      if (pa_stream_get_latency(p->stream, &latency, &negative) != 0) {
        answer << "error burst: no latency for " << p->sink << "\n";
        continue;
      }
      const double nextPlays = now + (negative ? -1.0 : 1.0) * double(latency) / 1e6;
      const double ahead = (at - nextPlays) * kRate;
      if (ahead < 0) {
        answer << "error burst: " << p->sink << " plays what is written now at " << nextPlays << "\n";
        continue;
      }
      Burst b{p->written + uint64_t(std::llround(ahead)), uint64_t(std::llround(seconds * kRate)), frequency};
      p->bursts.push_back(b);
      char when[64];
      std::snprintf(when, sizeof when, "%.6f", nextPlays + double(b.start - p->written) / kRate);
      answer << "ok burst " << p->sink << " " << when << "\n";
    }
    pa_threaded_mainloop_unlock(loop);
    std::fputs(answer.str().c_str(), stdout);
    std::fflush(stdout);
  }
  pa_threaded_mainloop_stop(loop);
  return 0;
}
