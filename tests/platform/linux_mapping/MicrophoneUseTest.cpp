// One rule, two faces: which sources are in use (the helper's device state) and which
// recordings are applications using a microphone (the activity tool), including the
// PipeWire forms the private test servers cannot show.

#include "platform/linux/pulse/MicrophoneUse.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace qb::pulse {
namespace {

constexpr std::array<int, 2> kOwn = {50, 40};  // the tool, the helper

// Sources 1 (microphone), 2 (filter made by module 7 from it), 3 (filter of the filter,
// module 8), 4 (another microphone), 5 (an output's monitor).
std::vector<SourceFacts> sources() {
  return {{1, kNoIndex, "", false},
          {2, 7, "", false},
          {3, 8, "", false},
          {4, kNoIndex, "", false},
          {5, kNoIndex, "", true}};
}

RecordingFacts client(uint32_t source) {
  RecordingFacts r;
  r.source = source;
  r.client = 20;
  return r;
}
RecordingFacts moduleStream(uint32_t source, uint32_t module) {
  RecordingFacts r;
  r.source = source;
  r.ownerModule = module;
  return r;
}
RecordingFacts with(RecordingFacts r, const std::function<void(RecordingFacts&)>& change) {
  change(r);
  return r;
}

TEST(MicrophoneUse, ARecordingUsesItsSourceAndMayBeAnApplication) {
  struct Case {
    const char* what;
    RecordingFacts recording;
    std::optional<int> pid;
    bool uses;
    std::optional<std::string_view> notApplication;
  };
  const Case cases[] = {
      {"an application", client(4), 100, true, std::nullopt},
      {"corked", with(client(4), [](auto& r) { r.corked = true; }), 100, false, "corked"},
      {"a peak meter", with(client(4), [](auto& r) { r.peakMeter = true; }), 100, false, "peak meter"},
      {"a volume control", with(client(4), [](auto& r) { r.volumeControl = true; }), 100, false, "volume control"},
      {"a monitor", client(5), 100, false, "records an output"},
      {"a capture of a sink", with(client(4), [](auto& r) { r.capturesOutput = true; }), 100, false,
       "records an output"},
      {"a loopback", moduleStream(4, 30), std::nullopt, true, "server module"},
      {"ours by id", with(client(4), [](auto& r) { r.ours = true; }), 100, true, "ours"},
      {"ours by process", client(4), 40, true, "ours"},
      {"a process nobody vouches for", client(4), std::nullopt, true, "no process"},
      {"a filter's client stream, its source unused", with(client(1), [](auto& r) { r.linkGroup = "echo-cancel-1"; }),
       100, false, "filter"},
  };
  auto filtered = sources();
  filtered[1].linkGroup = "echo-cancel-1";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(sourcesInUse(filtered, {c.recording}).count(c.recording.source) > 0, c.uses);
    EXPECT_EQ(whyNotApplicationUse(c.recording, filtered, c.pid, kOwn), c.notApplication);
  }
}

TEST(MicrophoneUse, PropertiesOfStreamOrClientMarkMetersControlsOutputsAndOurs) {
  struct Case {
    Properties props;
    std::function<bool(const RecordingFacts&)> marked;
  };
  const Case cases[] = {
      {{{"media.name", "Peak detect"}}, [](auto& f) { return f.peakMeter; }},
      {{{"stream.monitor", "true"}}, [](auto& f) { return f.peakMeter; }},
      {{{"stream.capture.sink", "true"}}, [](auto& f) { return f.capturesOutput; }},
      {{{"application.id", "Quellbrook"}}, [](auto& f) { return f.ours; }},
      {{{"application.id", "org.PulseAudio.pavucontrol"}}, [](auto& f) { return f.volumeControl; }},
      {{{"application.name", "PulseAudio Volume Control"}}, [](auto& f) { return f.volumeControl; }},
      {{{"application.process.binary", "pwvucontrol"}}, [](auto& f) { return f.volumeControl; }},
      {{{"node.link-group", "filter-chain-3"}}, [](auto& f) { return f.linkGroup == "filter-chain-3"; }},
  };
  const Properties meeting = {{"application.name", "Meet"}, {"media.name", "Microphone"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.props.begin()->first);
    RecordingFacts f;
    addPropertyFacts(f, meeting);
    EXPECT_FALSE(c.marked(f));
    addPropertyFacts(f, c.props);
    EXPECT_TRUE(c.marked(f));
    addPropertyFacts(f, meeting);  // what one set of properties says, the other does not undo
    EXPECT_TRUE(c.marked(f));
  }
}

TEST(MicrophoneUse, FiltersPassUseDownTheirChainOnly) {
  const std::vector<RecordingFacts> filters = {moduleStream(1, 7), moduleStream(2, 8)};
  EXPECT_EQ(sourcesInUse(sources(), filters), (std::set<uint32_t>{}));
  auto withClient = filters;
  withClient.push_back(client(3));
  EXPECT_EQ(sourcesInUse(sources(), withClient), (std::set<uint32_t>{1, 2, 3}));
  withClient.back().corked = true;
  EXPECT_EQ(sourcesInUse(sources(), withClient), (std::set<uint32_t>{}));
  // Listed in the other order, the chain is still followed to its end.
  std::vector<RecordingFacts> reversed = {client(2), moduleStream(2, 8), moduleStream(1, 7)};
  EXPECT_EQ(sourcesInUse(sources(), reversed), (std::set<uint32_t>{1, 2}));
  // A filter of a server that gives its streams a client marks them by a shared link group.
  auto grouped = sources();
  grouped[1].linkGroup = "echo-cancel-1";
  const RecordingFacts input = with(client(1), [](auto& r) { r.linkGroup = "echo-cancel-1"; });
  EXPECT_EQ(sourcesInUse(grouped, {input, client(2)}), (std::set<uint32_t>{1, 2}));
  EXPECT_EQ(whyNotApplicationUse(input, grouped, 100, kOwn), "filter");
}

}  // namespace
}  // namespace qb::pulse
