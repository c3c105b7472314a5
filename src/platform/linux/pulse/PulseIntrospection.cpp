#include "platform/linux/pulse/PulseIntrospection.hpp"

#include <pulse/def.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/operation.h>

#include <cstring>
#include <memory>
#include <utility>

namespace qb::pulse {

namespace {

SampleKind kindOf(pa_sample_format_t f) {
  switch (f) {
    case PA_SAMPLE_U8:
      return SampleKind::u8;
    case PA_SAMPLE_S16LE:
      return SampleKind::s16le;
    case PA_SAMPLE_S32LE:
      return SampleKind::s32le;
    case PA_SAMPLE_FLOAT32LE:
      return SampleKind::float32le;
    default:
      return SampleKind::other;
  }
}

std::string property(const pa_proplist* props, const char* key) {
  const char* v = props ? pa_proplist_gets(props, key) : nullptr;
  return v ? v : "";
}

SourceInfo copy(const pa_source_info& i) { return sourceInfo(i); }

RecordingInfo copy(const pa_source_output_info& i) { return {i.index, recordingFacts(i)}; }

SinkInfo copy(const pa_sink_info& i) {
  SinkInfo s;
  s.index = i.index;
  s.name = i.name ? i.name : "";
  s.monitorSourceName = i.monitor_source_name ? i.monitor_source_name : "";
  return s;
}

// What one list-style read collects; owned by the operation and freed when the
// operation ends (done or cancelled), so a dropped connection leaks nothing.
template <class Item>
struct ListRead {
  std::vector<Item> items;
  bool failed = false;
  std::function<void(ListRead&)> finished;
};

template <class Item>
void own(pa_operation* op, ListRead<Item>* read) {
  if (!op) {
    delete read;
    return;
  }
  pa_operation_set_state_callback(
      op,
      [](pa_operation* o, void* ud) {
        const auto s = pa_operation_get_state(o);
        if (s == PA_OPERATION_DONE || s == PA_OPERATION_CANCELLED) delete static_cast<ListRead<Item>*>(ud);
      },
      read);
  pa_operation_unref(op);
}

template <class PaInfo, class Item>
void onItem(const PaInfo* info, int eol, void* ud) {
  auto* read = static_cast<ListRead<Item>*>(ud);
  if (eol < 0) {
    read->failed = true;
  } else if (eol == 0 && info) {
    read->items.push_back(copy(*info));
    return;
  }
  if (read->finished) std::exchange(read->finished, nullptr)(*read);
}

void sourceItem(pa_context*, const pa_source_info* i, int eol, void* ud) {
  onItem<pa_source_info, SourceInfo>(i, eol, ud);
}
void sinkItem(pa_context*, const pa_sink_info* i, int eol, void* ud) { onItem<pa_sink_info, SinkInfo>(i, eol, ud); }
void recordingItem(pa_context*, const pa_source_output_info* i, int eol, void* ud) {
  onItem<pa_source_output_info, RecordingInfo>(i, eol, ud);
}

template <class Item>
ListRead<Item>* single(std::function<void(std::optional<Item>)> done) {
  auto* read = new ListRead<Item>;
  read->finished = [done = std::move(done)](ListRead<Item>& r) {
    if (r.failed || r.items.empty())
      done(std::nullopt);
    else
      done(r.items.front());
  };
  return read;
}

}  // namespace

Properties properties(const pa_proplist* list) {
  Properties props;
  void* state = nullptr;
  while (const char* key = list ? pa_proplist_iterate(list, &state) : nullptr) {
    const char* value = pa_proplist_gets(list, key);
    if (value) props[key] = value;
  }
  return props;
}

SourceInfo sourceInfo(const pa_source_info& i) {
  SourceInfo s;
  s.index = i.index;
  s.name = i.name ? i.name : "";
  s.description = i.description ? i.description : s.name;
  s.isMonitor = i.monitor_of_sink != PA_INVALID_INDEX;
  s.monitorOfSinkName = i.monitor_of_sink_name ? i.monitor_of_sink_name : "";
  s.running = i.state == PA_SOURCE_RUNNING;
  s.kind = kindOf(i.sample_spec.format);
  s.rate = i.sample_spec.rate;
  s.channels = i.sample_spec.channels;
  s.channelMap = i.channel_map;
  s.ownerModule = i.owner_module;
  s.linkGroup = property(i.proplist, "node.link-group");
  return s;
}

RecordingFacts recordingFacts(const pa_source_output_info& i) {
  RecordingFacts r;
  r.source = i.source;
  r.client = i.client;
  r.ownerModule = i.owner_module;
  r.corked = i.corked != 0;
  r.peakMeter = i.resample_method && std::strcmp(i.resample_method, "peaks") == 0;
  addPropertyFacts(r, properties(i.proplist));
  return r;
}

void fetchServerInfo(pa_context* c, std::function<void(std::optional<ServerInfo>)> done) {
  auto* read = new ListRead<ServerInfo>;
  read->finished = [done = std::move(done)](ListRead<ServerInfo>& r) {
    if (r.failed || r.items.empty())
      done(std::nullopt);
    else
      done(r.items.front());
  };
  own(pa_context_get_server_info(
          c,
          [](pa_context*, const pa_server_info* i, void* ud) {
            auto* r = static_cast<ListRead<ServerInfo>*>(ud);
            if (i) {
              ServerInfo s;
              s.defaultSinkName = i->default_sink_name ? i->default_sink_name : "";
              s.defaultSourceName = i->default_source_name ? i->default_source_name : "";
              r->items.push_back(std::move(s));
            } else {
              r->failed = true;
            }
            if (r->finished) std::exchange(r->finished, nullptr)(*r);
          },
          read),
      read);
}

void fetchSources(pa_context* c, std::function<void(std::optional<std::vector<SourceInfo>>)> done) {
  auto* read = new ListRead<SourceInfo>;
  read->finished = [done = std::move(done)](ListRead<SourceInfo>& r) {
    if (r.failed)
      done(std::nullopt);
    else
      done(std::move(r.items));
  };
  own(pa_context_get_source_info_list(c, sourceItem, read), read);
}

void fetchSource(pa_context* c, uint32_t index, std::function<void(std::optional<SourceInfo>)> done) {
  auto* read = single<SourceInfo>(std::move(done));
  own(pa_context_get_source_info_by_index(c, index, sourceItem, read), read);
}

void fetchSource(pa_context* c, const std::string& name, std::function<void(std::optional<SourceInfo>)> done) {
  auto* read = single<SourceInfo>(std::move(done));
  own(pa_context_get_source_info_by_name(c, name.c_str(), sourceItem, read), read);
}

void fetchRecordings(pa_context* c, std::function<void(std::optional<std::vector<RecordingInfo>>)> done) {
  auto* read = new ListRead<RecordingInfo>;
  read->finished = [done = std::move(done)](ListRead<RecordingInfo>& r) {
    if (r.failed)
      done(std::nullopt);
    else
      done(std::move(r.items));
  };
  own(pa_context_get_source_output_info_list(c, recordingItem, read), read);
}

void fetchRecording(pa_context* c, uint32_t index, std::function<void(std::optional<RecordingInfo>)> done) {
  auto* read = single<RecordingInfo>(std::move(done));
  own(pa_context_get_source_output_info(c, index, recordingItem, read), read);
}

void fetchSink(pa_context* c, const std::string& name, std::function<void(std::optional<SinkInfo>)> done) {
  auto* read = single<SinkInfo>(std::move(done));
  own(pa_context_get_sink_info_by_name(c, name.c_str(), sinkItem, read), read);
}

// ---- Synchronous reads ----------------------------------------------------------------
//
// These keep their state on the caller's stack: runOperation cancels the operation
// before returning, so no callback can reach it afterwards.

namespace {

template <class Item>
struct StackRead {
  std::vector<Item> items;
  bool failed = false;
  int error = 0;
};

template <class PaInfo, class Item>
void onStackItem(pa_context* c, const PaInfo* info, int eol, void* ud) {
  auto* read = static_cast<StackRead<Item>*>(ud);
  if (eol < 0) {
    read->failed = true;
    read->error = pa_context_errno(c);
  } else if (eol == 0 && info) {
    read->items.push_back(copy(*info));
  }
}

}  // namespace

std::optional<ServerInfo> readServerInfo(PulseConnection& conn, SyncRead limits) {
  if (!conn.waitReady(limits.connectWait)) return std::nullopt;
  std::optional<ServerInfo> out;
  bool ok = conn.runOperation(
      [&](pa_context* c) {
        return pa_context_get_server_info(
            c,
            [](pa_context*, const pa_server_info* i, void* ud) {
              if (!i) return;
              auto* o = static_cast<std::optional<ServerInfo>*>(ud);
              o->emplace();
              (*o)->defaultSinkName = i->default_sink_name ? i->default_sink_name : "";
              (*o)->defaultSourceName = i->default_source_name ? i->default_source_name : "";
            },
            &out);
      },
      limits.timeout);
  return ok ? out : std::nullopt;
}

std::optional<std::vector<SourceInfo>> readSources(PulseConnection& conn, SyncRead limits) {
  if (!conn.waitReady(limits.connectWait)) return std::nullopt;
  StackRead<SourceInfo> read;
  bool ok = conn.runOperation(
      [&](pa_context* c) { return pa_context_get_source_info_list(c, onStackItem<pa_source_info, SourceInfo>, &read); },
      limits.timeout);
  if (!ok || read.failed) return std::nullopt;
  return std::move(read.items);
}

std::optional<std::optional<SourceInfo>> readSource(PulseConnection& conn, const std::string& name, SyncRead limits) {
  if (!conn.waitReady(limits.connectWait)) return std::nullopt;
  StackRead<SourceInfo> read;
  bool ok = conn.runOperation(
      [&](pa_context* c) {
        return pa_context_get_source_info_by_name(c, name.c_str(), onStackItem<pa_source_info, SourceInfo>, &read);
      },
      limits.timeout);
  if (!ok) return std::nullopt;
  if (read.failed) {
    if (read.error == PA_ERR_NOENTITY) return std::optional<SourceInfo>{};
    return std::nullopt;
  }
  if (read.items.empty()) return std::optional<SourceInfo>{};
  return std::optional<SourceInfo>{read.items.front()};
}

}  // namespace qb::pulse
