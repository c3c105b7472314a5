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
// Peak meters, corked streams, recordings of outputs, streams of server
// modules, volume controls and the helper's own streams are left out. The process is the
// client's host process, checked against /proc. Exits 1 when the server goes away (after
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

#include "platform/linux/identity/ProcFs.hpp"
#include "platform/linux/identity/SoundClientPid.hpp"
#include "platform/linux/pulse/MicrophoneUse.hpp"

namespace {

using Props = std::map<std::string, std::string>;

// Beyond this much unwritten output no new line is formed until the reader catches up.
constexpr size_t kMaxPendingOutput = 64 * 1024;

Props copyProps(const pa_proplist* list) {
  Props props;
  void* state = nullptr;
  while (const char* key = pa_proplist_iterate(list, &state)) {
    const char* value = pa_proplist_gets(list, key);
    if (value) props[key] = value;
  }
  return props;
}

std::optional<int> intProp(const Props& props, const char* key) {
  auto it = props.find(key);
  if (it == props.end()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(it->second.c_str(), &end, 10);
  if (errno || end == it->second.c_str() || *end || v <= 0 || v > INT32_MAX) return std::nullopt;
  return static_cast<int>(v);
}

std::string prop(const Props& props, const char* key) {
  auto it = props.find(key);
  return it == props.end() ? std::string() : it->second;
}

struct Stream {
  bool running = false;   // what the server says now (qualifying and uncorked)
  bool reported = false;  // what we last wrote
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
  std::map<uint32_t, Props> clients;
  std::map<uint32_t, std::pair<std::string, bool>> sources;  // name, is a monitor
  std::map<uint32_t, Stream> streams;
  std::string output;
  bool headersWritten = false;
  int exitStatus = 0;

  void updateStream(const pa_source_output_info& info);
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

void Tool::updateStream(const pa_source_output_info& info) {
  qb::pulse::RecordingUseFacts facts;
  facts.hasClient = info.client != PA_INVALID_INDEX;
  facts.corked = info.corked != 0;
  facts.peakMeter = info.resample_method && std::strcmp(info.resample_method, "peaks") == 0;
  facts.streamProps = copyProps(info.proplist);
  facts.peakMeter = facts.peakMeter || prop(facts.streamProps, "stream.monitor") == "true";
  auto source = sources.find(info.source);
  facts.recordsMonitor = source != sources.end() && source->second.second;
  if (auto client = clients.find(info.client); client != clients.end()) facts.clientProps = client->second;

  const Props& c = facts.clientProps;
  qb::SoundClientClaim claim;
  claim.statedPid = intProp(c, PA_PROP_APPLICATION_PROCESS_ID);
  claim.binary = prop(c, PA_PROP_APPLICATION_PROCESS_BINARY);
  claim.machineId = prop(c, PA_PROP_APPLICATION_PROCESS_MACHINE_ID);
  claim.serverPid = intProp(c, "pipewire.sec.pid");
  claim.sandboxAppId = prop(c, "pipewire.access.portal.app_id");
  claim.sandboxInstance = prop(c, "pipewire.access.portal.instance_id");
  if (facts.hasClient) facts.hostPid = qb::hostPidOf(claim, roots);

  Stream& s = streams[info.index];
  s.gone = false;
  s.running = !qb::pulse::whyNotMicrophoneUse(facts, {getpid(), getppid()});
  if (s.running && !s.reported) {
    const qb::ProcFs proc(roots.proc);
    s.pid = *facts.hostPid;
    s.name = proc.programName(s.pid).value_or(claim.binary.empty() ? "unknown" : qb::baseName(claim.binary));
    s.source = source == sources.end() ? std::to_string(info.source) : source->second.first;
  }
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

void onSourceOutput(pa_context*, const pa_source_output_info* info, int eol, void* userdata) {
  auto* tool = static_cast<Tool*>(userdata);
  if (info) tool->updateStream(*info);
  if (eol) tool->flush();
}

void onClient(pa_context*, const pa_client_info* info, int, void* userdata) {
  if (info) static_cast<Tool*>(userdata)->clients[info->index] = copyProps(info->proplist);
}

void onSource(pa_context*, const pa_source_info* info, int, void* userdata) {
  if (info)
    static_cast<Tool*>(userdata)->sources[info->index] = {info->name ? info->name : "",
                                                          info->monitor_of_sink != PA_INVALID_INDEX};
}

void drop(pa_operation* op) {
  if (op) pa_operation_unref(op);
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
      if (removed)
        tool->sources.erase(index);
      else
        drop(pa_context_get_source_info_by_index(c, index, onSource, tool));
      break;
    case PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT:
      if (removed) {
        if (auto it = tool->streams.find(index); it != tool->streams.end()) {
          it->second.running = false;
          it->second.gone = true;
        }
        tool->flush();
      } else {
        // Answers come in request order, so the client and source reads sent for the
        // same change have landed by then.
        drop(pa_context_get_source_output_info(c, index, onSourceOutput, tool));
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
      drop(pa_context_get_source_info_list(c, onSource, tool));
      drop(pa_context_get_client_info_list(c, onClient, tool));
      drop(pa_context_get_source_output_info_list(c, onSourceOutput, tool));
      break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED: {
      std::fprintf(stderr, "quellbrook-mic-log: lost the sound server: %s\n", pa_strerror(pa_context_errno(c)));
      // Every stream ended with the server.
      for (auto& [index, s] : tool->streams) {
        s.running = false;
        s.gone = true;
      }
      tool->flush();
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
