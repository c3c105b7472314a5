// quellbrook-mic-log: tells which processes start and stop recording a microphone, one
// line each, for the helper's mic app detector.
//
// Usage: quellbrook-mic-log
//
// Connects to the sound server (PULSE_SERVER or the default), prints two header lines,
// then one line per recording stream of an application that starts (appears uncorked or
// is uncorked) or stops (is corked, moves to an output's monitor, or goes away):
//
//   2026-12-07 11:30:00.125 Df quellbrook-mic-log[812:812] [input] stream #14 mic1:
//     {"details":{"input_running":true,"source":"mic1",...},"session":{"name":"zoom (4123)",...}}
//
// (on one line). "input_running" is the process's state: a stream that stops while another
// stream of its process still records says true, so that a reader counting processes sees
// the process stop only with its last stream ("stream_running" is the stream's own state).
// Which streams count is the helper's own rule (MicrophoneUse.hpp): peak meters, corked
// streams, recordings of outputs, streams of server modules and filters, volume controls and
// the helper's own streams are left out. The process is the client's host process, checked
// against /proc (SoundClientPid.hpp). Exits 1 when the server goes away (after
// a stop line for each stream still reported running), 2 for bad arguments.
//
// Output never blocks: when the reader is slow, what is not yet written collapses to the
// latest state of each stream.

#include <fcntl.h>
#include <poll.h>
#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/proplist.h>
#include <pulse/subscribe.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/identity/ProcFs.hpp"
#include "platform/linux/identity/SoundClientPid.hpp"
#include "platform/linux/pulse/MicrophoneUse.hpp"
#include "platform/linux/pulse/PulseIntrospection.hpp"

namespace {

using qb::pulse::Properties;

// Beyond this much unwritten output no new line is formed until the reader catches up.
constexpr size_t kMaxPendingOutput = 64 * 1024;

struct Stream {
  qb::pulse::RecordingFacts facts;  // with its client's properties
  std::optional<int> hostPid;       // its client's process, where it could be vouched for
  std::string binary;               // what its client says it runs
  bool running = false;             // what the rule says now
  bool reported = false;            // what we last wrote
  bool gone = false;
  // Who we reported at the start; the stop names the same.
  std::string name;
  int pid = 0;
  std::string source;
};

struct Tool {
  pa_mainloop* loop = nullptr;
  pa_context* context = nullptr;
  pa_io_event* writer = nullptr;
  qb::IdentityRoots roots = qb::IdentityRoots::fromEnvironment();
  std::map<uint32_t, Properties> clients;
  std::map<uint32_t, qb::pulse::SourceInfo> sources;
  std::map<uint32_t, Stream> streams;
  bool synced = false;  // the first lists have arrived
  std::string output;
  bool headersWritten = false;
  int exitStatus = 0;

  void streamRead(uint32_t index, const qb::pulse::RecordingFacts& facts);
  void evaluate();
  void flush();
  void writeLine(uint32_t index, const Stream& s, bool running);
  void writePending();
  void finish(int status);
  void readerGone();
};

std::string timestamp() {
  timeval now{};
  gettimeofday(&now, nullptr);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char text[64];
  const size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(now.tv_usec / 1000));
  return text;
}

void Tool::writeLine(uint32_t index, const Stream& s, bool running) {
  bool processRunning = false;
  for (const auto& [other, o] : streams) processRunning = processRunning || (o.reported && o.pid == s.pid);
  nlohmann::json payload = {
      {"session", {{"name", s.name + " (" + std::to_string(s.pid) + ")"}, {"pid", s.pid}, {"stream", index}}},
      {"details", {{"input_running", processRunning}, {"stream_running", running}, {"source", s.source}}}};
  const std::string self = std::to_string(getpid());
  output += timestamp() + " Df quellbrook-mic-log[" + self + ":" + self + "] [input] stream #" + std::to_string(index) +
            " " + s.source + ": " + payload.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

// Lines for every stream whose state differs from what was reported, as far as the
// output allows; the rest waits for the reader.
void Tool::flush() {
  for (auto it = streams.begin(); it != streams.end() && output.size() < kMaxPendingOutput;) {
    Stream& s = it->second;
    if (s.running != s.reported) {
      s.reported = s.running;
      writeLine(it->first, s, s.running);
    }
    if (s.gone && !s.reported)
      it = streams.erase(it);
    else
      ++it;
  }
  writePending();
}

void Tool::writePending() {
  while (!output.empty()) {
    const ssize_t n = ::write(STDOUT_FILENO, output.data(), output.size());
    if (n > 0) {
      output.erase(0, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return readerGone();
    break;  // the writer event resumes
  }
  const pa_mainloop_api* api = pa_mainloop_get_api(loop);
  api->io_enable(writer, output.empty() ? PA_IO_EVENT_NULL : PA_IO_EVENT_OUTPUT);
}

void Tool::streamRead(uint32_t index, const qb::pulse::RecordingFacts& read) {
  Stream& s = streams[index];
  s.gone = false;
  s.facts = read;
  s.hostPid.reset();
  s.binary.clear();
  if (auto client = clients.find(read.client); client != clients.end()) {
    qb::pulse::addPropertyFacts(s.facts, client->second);
    const auto claim = qb::SoundClientClaim::fromProperties(client->second);
    s.binary = claim.binary;
    s.hostPid = qb::hostPidOf(claim, roots);
  }
}

// Applies the rule to every stream (a source that comes or goes may make a filter of a
// stream), names the streams that start, and writes what changed.
void Tool::evaluate() {
  if (!synced) return;
  std::vector<qb::pulse::SourceFacts> facts;
  for (const auto& [index, source] : sources) facts.push_back(source.facts());
  for (auto& [index, s] : streams) {
    s.running = !s.gone && !qb::pulse::whyNotApplicationUse(s.facts, facts, s.hostPid, {getpid(), getppid()});
    if (!s.running || s.reported) continue;
    const qb::ProcFs proc(roots.proc);
    s.pid = *s.hostPid;
    s.name = proc.programName(s.pid).value_or(s.binary.empty() ? "unknown" : qb::baseName(s.binary));
    auto source = sources.find(s.facts.source);
    s.source = source == sources.end() ? std::to_string(s.facts.source) : source->second.name;
  }
  flush();
}

// Nobody reads our lines any more (the helper is gone): stop instead of spinning.
void Tool::readerGone() {
  output.clear();
  pa_mainloop_get_api(loop)->io_enable(writer, PA_IO_EVENT_NULL);
  finish(1);
}

void Tool::finish(int status) {
  exitStatus = status;
  pa_mainloop_quit(loop, status);
}

// ---- Server reads ------------------------------------------------------------------------
//
// Answers come in request order, so the client and source reads sent for one change have
// landed by the time the stream read sent after them answers.

void onClient(pa_context*, const pa_client_info* info, int, void* userdata) {
  if (info) static_cast<Tool*>(userdata)->clients[info->index] = qb::pulse::properties(info->proplist);
}

void drop(pa_operation* op) {
  if (op) pa_operation_unref(op);
}

void readStream(pa_context* c, Tool* tool, uint32_t index) {
  qb::pulse::fetchRecording(c, index, [tool, index](std::optional<qb::pulse::RecordingInfo> info) {
    // None: the stream went away meanwhile, and its removal follows.
    if (!info) return;
    tool->streamRead(index, info->facts);
    tool->evaluate();
  });
}

void onEvent(pa_context* c, pa_subscription_event_type_t type, uint32_t index, void* userdata) {
  auto* tool = static_cast<Tool*>(userdata);
  const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const bool removed = (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE;
  switch (facility) {
    case PA_SUBSCRIPTION_EVENT_CLIENT:
      if (removed)
        tool->clients.erase(index);
      else
        drop(pa_context_get_client_info(c, index, onClient, tool));
      break;
    case PA_SUBSCRIPTION_EVENT_SOURCE:
      if (removed) {
        tool->sources.erase(index);
        tool->evaluate();
        break;
      }
      qb::pulse::fetchSource(c, index, [tool, index](std::optional<qb::pulse::SourceInfo> info) {
        if (info)
          tool->sources[index] = std::move(*info);
        else
          tool->sources.erase(index);
        tool->evaluate();
      });
      break;
    case PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT:
      if (removed) {
        if (auto it = tool->streams.find(index); it != tool->streams.end()) it->second.gone = true;
        tool->evaluate();
      } else {
        readStream(c, tool, index);
      }
      break;
    default:
      break;
  }
}

void onState(pa_context* c, void* userdata) {
  auto* tool = static_cast<Tool*>(userdata);
  switch (pa_context_get_state(c)) {
    case PA_CONTEXT_READY:
      if (!tool->headersWritten) {
        tool->headersWritten = true;
        tool->output += "Filtering the sound server's recording streams for microphone use\n";
        tool->output += "Timestamp               Ty Process[PID:TID] [input] stream source: payload\n";
        tool->writePending();
      }
      pa_context_set_subscribe_callback(c, onEvent, tool);
      drop(pa_context_subscribe(
          c,
          static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT | PA_SUBSCRIPTION_MASK_CLIENT |
                                              PA_SUBSCRIPTION_MASK_SOURCE),
          nullptr, nullptr));
      qb::pulse::fetchSources(c, [tool](std::optional<std::vector<qb::pulse::SourceInfo>> list) {
        for (auto& s : list.value_or(std::vector<qb::pulse::SourceInfo>{})) tool->sources[s.index] = std::move(s);
      });
      drop(pa_context_get_client_info_list(c, onClient, tool));
      qb::pulse::fetchRecordings(c, [tool](std::optional<std::vector<qb::pulse::RecordingInfo>> list) {
        for (const auto& r : list.value_or(std::vector<qb::pulse::RecordingInfo>{})) tool->streamRead(r.index, r.facts);
        tool->synced = true;
        tool->evaluate();
      });
      break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED: {
      std::fprintf(stderr, "quellbrook-mic-log: lost the sound server: %s\n", pa_strerror(pa_context_errno(c)));
      // Every stream ended with the server.
      for (auto& [index, s] : tool->streams) s.gone = true;
      tool->evaluate();
      tool->finish(1);
      break;
    }
    default:
      break;
  }
}

void onWritable(pa_mainloop_api*, pa_io_event*, int, pa_io_event_flags_t flags, void* userdata) {
  auto* tool = static_cast<Tool*>(userdata);
  // A closed pipe reports an error even while we ask for nothing; left alone it would wake
  // the loop for ever.
  if (flags & (PA_IO_EVENT_HANGUP | PA_IO_EVENT_ERROR)) return tool->readerGone();
  tool->writePending();
  tool->flush();  // states that changed while the output was full
}

// The last lines before exiting get a short while to leave, never an endless wait.
void drainOutput(Tool& tool) {
  for (int tries = 0; !tool.output.empty() && tries < 20; ++tries) {
    pollfd p{STDOUT_FILENO, POLLOUT, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const ssize_t n = ::write(STDOUT_FILENO, tool.output.data(), tool.output.size());
    if (n < 0 && errno != EAGAIN && errno != EINTR) return;
    if (n > 0) tool.output.erase(0, static_cast<size_t>(n));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    const bool help = std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0;
    std::fprintf(help ? stdout : stderr, "usage: quellbrook-mic-log\n");
    return help ? 0 : 2;
  }
  ::fcntl(STDOUT_FILENO, F_SETFL, ::fcntl(STDOUT_FILENO, F_GETFL) | O_NONBLOCK);

  Tool tool;
  tool.loop = pa_mainloop_new();
  pa_mainloop_api* api = pa_mainloop_get_api(tool.loop);
  tool.writer = api->io_new(api, STDOUT_FILENO, PA_IO_EVENT_NULL, onWritable, &tool);
  pa_proplist* props = pa_proplist_new();
  pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "quellbrook-mic-log");
  pa_proplist_sets(props, PA_PROP_APPLICATION_ID, std::string(qb::pulse::kOwnApplicationId).c_str());
  tool.context = pa_context_new_with_proplist(api, "quellbrook-mic-log", props);
  pa_proplist_free(props);
  pa_context_set_state_callback(tool.context, onState, &tool);
  if (pa_context_connect(tool.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    std::fprintf(stderr, "quellbrook-mic-log: cannot reach the sound server: %s\n",
                 pa_strerror(pa_context_errno(tool.context)));
    tool.exitStatus = 1;
  } else {
    pa_mainloop_run(tool.loop, nullptr);
  }
  drainOutput(tool);
  pa_context_set_state_callback(tool.context, nullptr, nullptr);
  pa_context_disconnect(tool.context);
  pa_context_unref(tool.context);
  api->io_free(tool.writer);
  pa_mainloop_free(tool.loop);
  return tool.exitStatus;
}
