// qb-test-recorder: a sound-server client that records the way real applications do, for
// the microphone-use tests. It reads and discards what it records.
//
// Usage: qb-test-recorder [options]
//   --source=NAME        record this source (a microphone or a monitor); default: the
//                        server's default source
//   --monitor            record the monitor of the default sink
//   --corked             connect corked: the source is held but not used
//   --peak               be a level meter as volume controls are: peak-detect stream,
//                        float32 mono at 25 Hz, not movable
//   --app-name=TEXT      application.name of the client (default "qb-test-recorder")
//   --app-id=TEXT        application.id
//   --pid=N              application.process.id (default: our own, as libpulse sets it)
//   --media-name=TEXT    media.name of the stream (default "qb-test-recorder")
//
// Standard input, one command per line: "cork", "uncork", "quit". End of input quits too,
// so a recorder never outlives the test that drives it.
// Standard output, one line per state change, so that tests can wait for them:
//   "ready stream=<source-output index> source=<source name> client=<client index>"
//   "corked" / "uncorked" once the server confirmed the change
// Errors go to standard error; the exit status is 0 after "quit" (or end of input), 1
// when the connection or the stream failed, 2 for bad options.

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop-signal.h>
#include <pulse/mainloop.h>
#include <pulse/proplist.h>
#include <pulse/stream.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct Options {
  std::string source;
  bool monitor = false;
  bool corked = false;
  bool peak = false;
  std::string appName = "qb-test-recorder";
  std::string appId;
  std::string pid;
  std::string mediaName = "qb-test-recorder";
};

struct Recorder {
  Options options;
  pa_mainloop* loop = nullptr;
  pa_mainloop_api* api = nullptr;
  pa_context* context = nullptr;
  pa_stream* stream = nullptr;
  std::string input;  // partial line from standard input
  int exitStatus = 0;
};

void usage() {
  std::fprintf(stderr,
               "usage: qb-test-recorder [--source=NAME | --monitor] [--corked] [--peak]\n"
               "       [--app-name=TEXT] [--app-id=TEXT] [--pid=N] [--media-name=TEXT]\n");
}

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](const char* name, std::string& out) {
      std::string prefix = std::string(name) + "=";
      if (arg.rfind(prefix, 0) != 0) return false;
      out = arg.substr(prefix.size());
      return true;
    };
    if (arg == "--monitor" || arg == "--corked" || arg == "--peak") {
      (arg == "--monitor" ? o.monitor : arg == "--corked" ? o.corked : o.peak) = true;
      continue;
    }
    if (value("--source", o.source) || value("--app-name", o.appName) || value("--app-id", o.appId) ||
        value("--pid", o.pid) || value("--media-name", o.mediaName))
      continue;
    return false;
  }
  return !(o.monitor && !o.source.empty());
}

void say(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

void quit(Recorder& r, int status) {
  r.exitStatus = status;
  r.api->quit(r.api, status);
}

void fail(Recorder& r, const std::string& what) {
  std::fprintf(stderr, "qb-test-recorder: %s: %s\n", what.c_str(), pa_strerror(pa_context_errno(r.context)));
  quit(r, 1);
}

void onRead(pa_stream* s, size_t, void*) {
  const void* data;
  size_t length;
  while (pa_stream_readable_size(s) > 0) {
    if (pa_stream_peek(s, &data, &length) < 0 || length == 0) return;
    pa_stream_drop(s);
  }
}

void onStreamState(pa_stream* s, void* ud) {
  auto& r = *static_cast<Recorder*>(ud);
  switch (pa_stream_get_state(s)) {
    case PA_STREAM_READY: {
      const char* device = pa_stream_get_device_name(s);
      say("ready stream=" + std::to_string(pa_stream_get_index(s)) + " source=" + (device ? device : "") +
          " client=" + std::to_string(pa_context_get_index(r.context)));
      break;
    }
    case PA_STREAM_FAILED:
      fail(r, "stream failed");
      break;
    case PA_STREAM_TERMINATED:
      std::fprintf(stderr, "qb-test-recorder: stream ended by the server\n");
      quit(r, 1);
      break;
    default:
      break;
  }
}

void setCorked(Recorder& r, bool corked) {
  if (!r.stream || pa_stream_get_state(r.stream) != PA_STREAM_READY) {
    std::fprintf(stderr, "qb-test-recorder: not recording yet\n");
    return;
  }
  pa_operation* op = pa_stream_cork(
      r.stream, corked ? 1 : 0,
      [](pa_stream*, int success, void* ud) {
        auto* word = static_cast<const char*>(ud);
        if (success)
          say(word);
        else
          std::fprintf(stderr, "qb-test-recorder: %s failed\n", word);
      },
      const_cast<char*>(corked ? "corked" : "uncorked"));
  if (op) pa_operation_unref(op);
}

void connectStream(Recorder& r, const std::string& device) {
  const Options& o = r.options;
  pa_proplist* props = pa_proplist_new();
  pa_proplist_sets(props, PA_PROP_MEDIA_NAME, o.mediaName.c_str());

  // Volume controls meter at 25 Hz in float mono; recorders take the source's own format
  // (the placeholder spec is replaced because of the FIX flags).
  pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, o.peak ? 25u : 48000u, 1};
  r.stream = pa_stream_new_with_proplist(r.context, o.mediaName.c_str(), &spec, nullptr, props);
  pa_proplist_free(props);
  if (!r.stream) return fail(r, "cannot create the stream");
  pa_stream_set_state_callback(r.stream, onStreamState, &r);
  pa_stream_set_read_callback(r.stream, onRead, &r);

  pa_buffer_attr attr;
  std::memset(&attr, 0xff, sizeof attr);
  int flags = PA_STREAM_ADJUST_LATENCY;
  if (o.peak) {
    attr.fragsize = sizeof(float);
    flags |= PA_STREAM_PEAK_DETECT | PA_STREAM_DONT_MOVE;
  } else {
    attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(20000, &spec));
    flags |= PA_STREAM_FIX_FORMAT | PA_STREAM_FIX_RATE | PA_STREAM_FIX_CHANNELS;
  }
  if (o.corked) flags |= PA_STREAM_START_CORKED;
  if (pa_stream_connect_record(r.stream, device.empty() ? nullptr : device.c_str(), &attr,
                               static_cast<pa_stream_flags_t>(flags)) < 0)
    fail(r, "cannot connect the stream");
}

void onSinkForMonitor(pa_context*, const pa_sink_info* info, int eol, void* ud) {
  auto& r = *static_cast<Recorder*>(ud);
  if (eol < 0) return fail(r, "no such sink");
  if (eol > 0 || !info || r.stream) return;
  connectStream(r, info->monitor_source_name ? info->monitor_source_name : "");
}

void onServerForMonitor(pa_context* c, const pa_server_info* info, void* ud) {
  auto& r = *static_cast<Recorder*>(ud);
  if (!info || !info->default_sink_name) return fail(r, "no default sink");
  pa_operation* op = pa_context_get_sink_info_by_name(c, info->default_sink_name, onSinkForMonitor, ud);
  if (op) pa_operation_unref(op);
}

void onContextState(pa_context* c, void* ud) {
  auto& r = *static_cast<Recorder*>(ud);
  switch (pa_context_get_state(c)) {
    case PA_CONTEXT_READY: {
      if (!r.options.monitor) return connectStream(r, r.options.source);
      pa_operation* op = pa_context_get_server_info(c, onServerForMonitor, ud);
      if (op) pa_operation_unref(op);
      break;
    }
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
      fail(r, "connection to the sound server lost");
      break;
    default:
      break;
  }
}

void onCommand(Recorder& r, const std::string& line) {
  if (line == "cork")
    setCorked(r, true);
  else if (line == "uncork")
    setCorked(r, false);
  else if (line == "quit")
    quit(r, 0);
  else if (!line.empty())
    std::fprintf(stderr, "qb-test-recorder: unknown command '%s'\n", line.c_str());
}

void onStdin(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void* ud) {
  auto& r = *static_cast<Recorder*>(ud);
  char buf[256];
  ssize_t n = ::read(fd, buf, sizeof buf);
  if (n <= 0) return quit(r, 0);
  r.input.append(buf, static_cast<size_t>(n));
  size_t nl;
  while ((nl = r.input.find('\n')) != std::string::npos) {
    std::string line = r.input.substr(0, nl);
    r.input.erase(0, nl + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    onCommand(r, line);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Recorder r;
  if (!parse(argc, argv, r.options)) {
    usage();
    return 2;
  }
  r.loop = pa_mainloop_new();
  r.api = pa_mainloop_get_api(r.loop);
  pa_signal_init(r.api);
  auto onSignal = [](pa_mainloop_api* api, pa_signal_event*, int, void*) { api->quit(api, 0); };
  pa_signal_new(SIGTERM, onSignal, nullptr);
  pa_signal_new(SIGINT, onSignal, nullptr);

  // Real applications name themselves on the client; the server copies these onto their
  // streams.
  pa_proplist* props = pa_proplist_new();
  pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, r.options.appName.c_str());
  if (!r.options.appId.empty()) pa_proplist_sets(props, PA_PROP_APPLICATION_ID, r.options.appId.c_str());
  if (!r.options.pid.empty()) pa_proplist_sets(props, PA_PROP_APPLICATION_PROCESS_ID, r.options.pid.c_str());
  r.context = pa_context_new_with_proplist(r.api, r.options.appName.c_str(), props);
  pa_proplist_free(props);
  pa_context_set_state_callback(r.context, onContextState, &r);
  if (pa_context_connect(r.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    std::fprintf(stderr, "qb-test-recorder: cannot connect: %s\n", pa_strerror(pa_context_errno(r.context)));
    return 1;
  }
  pa_io_event* in = r.api->io_new(r.api, STDIN_FILENO, PA_IO_EVENT_INPUT, onStdin, &r);

  int ret = 0;
  pa_mainloop_run(r.loop, &ret);

  r.api->io_free(in);
  // Our own disconnect is not a failure to report.
  pa_context_set_state_callback(r.context, nullptr, nullptr);
  if (r.stream) {
    pa_stream_set_state_callback(r.stream, nullptr, nullptr);
    pa_stream_disconnect(r.stream);
    pa_stream_unref(r.stream);
  }
  pa_context_disconnect(r.context);
  pa_context_unref(r.context);
  pa_signal_done();
  pa_mainloop_free(r.loop);
  return r.exitStatus ? r.exitStatus : ret;
}
