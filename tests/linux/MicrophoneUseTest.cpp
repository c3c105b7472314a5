// When the real backend says a microphone "runs somewhere": clients that really record
// it, not peak meters, corked streams or filters nobody uses; and its running listener
// fires on those edges only. Recordings of monitors are the end-to-end suites' case.

#include <atomic>
#include <memory>

#include "PulseTestEnv.hpp"
#include "clients/TestRecorder.hpp"
#include "platform/linux/pulse/LinuxAudioDeviceService.hpp"
#include "runtime/ThreadExecutor.hpp"

namespace qb {
namespace {

using namespace qb::testenv;

class MicrophoneUseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QB_REQUIRE_TEST_SERVER();
    connection_ = std::make_shared<pulse::PulseConnection>();
    service_ = std::make_unique<LinuxAudioDeviceService>(connection_, executor_.makeQueue("test.events"));
    ASSERT_TRUE(waitUntil([&] { return !running("mic2"); }, 5)) << "mic2 is in use before the test";
  }
  void TearDown() override {
    tokens_.clear();
    service_.reset();
    if (filterModule_) pactl("unload-module " + *filterModule_);
  }

  std::unique_ptr<qbtest::TestRecorder> record(std::vector<std::string> options) {
    auto r = std::make_unique<qbtest::TestRecorder>(std::string(QB_BINARY_DIR) + "/qb-test-recorder", options);
    EXPECT_NE(r->waitReady(), "") << "the recorder did not start";
    return r;
  }

  std::optional<AudioObjectID> idOf(const std::string& uid) {
    auto ids = service_->deviceIDs();
    for (AudioObjectID id : ids.value)
      if (service_->uid(id).value == uid) return id;
    return std::nullopt;
  }
  bool running(const std::string& uid) {
    auto id = idOf(uid);
    return id && service_->isRunningSomewhere(*id, PropertyScope::global).value != 0;
  }
  // Counts the running listener's calls for `uid`.
  std::shared_ptr<std::atomic<int>> countCalls(const std::string& uid) {
    auto calls = std::make_shared<std::atomic<int>>(0);
    tokens_.push_back(service_->listenRunningSomewhere(*idOf(uid), [calls] { ++*calls; }));
    return calls;
  }
  // Long enough for every event of a change to have arrived.
  static void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(400)); }

  ThreadExecutor executor_;
  std::shared_ptr<pulse::PulseConnection> connection_;
  std::unique_ptr<LinuxAudioDeviceService> service_;
  std::vector<ListenerToken> tokens_;
  std::optional<std::string> filterModule_;
};

TEST_F(MicrophoneUseTest, PeakMetersAndCorkedStreamsDoNotUseTheMicrophone) {
  auto calls = countCalls("mic2");
  auto meter = record({"--source=mic2", "--peak", "--app-name=Volume Control"});
  auto held = record({"--source=mic2", "--corked"});
  settle();
  EXPECT_FALSE(running("mic2"));
  EXPECT_EQ(calls->load(), 0);

  ASSERT_TRUE(held->uncork());
  EXPECT_TRUE(waitUntil([&] { return running("mic2") && calls->load() == 1; }, 5)) << calls->load();
  // Changes that are not edges of use stay silent: the volume, another meter.
  pactl("set-source-volume mic2 50%");
  auto secondMeter = record({"--source=mic2", "--peak"});
  settle();
  EXPECT_EQ(calls->load(), 1);

  ASSERT_TRUE(held->cork());
  EXPECT_TRUE(waitUntil([&] { return !running("mic2") && calls->load() == 2; }, 5)) << calls->load();
  pactl("set-source-volume mic2 100%");
}

TEST_F(MicrophoneUseTest, FilteredMicrophoneIsInUseOnlyWhileTheFilterIsRecorded) {
  auto loaded =
      run("pactl load-module module-remap-source master=mic2 source_name=mic2_filtered "
          "source_properties=device.description=Filtered");
  ASSERT_TRUE(loaded);
  filterModule_ = loaded->substr(0, loaded->find('\n'));
  ASSERT_TRUE(waitUntil([&] { return idOf("mic2_filtered").has_value(); }, 5));
  auto calls = countCalls("mic2");
  settle();
  // The filter's own stream records mic2 all the time.
  EXPECT_FALSE(running("mic2"));
  EXPECT_FALSE(running("mic2_filtered"));

  auto user = record({"--source=mic2_filtered"});
  // The state changes at once, its listeners hear of it on the event queue a moment later.
  EXPECT_TRUE(waitUntil([&] { return running("mic2") && running("mic2_filtered") && calls->load() == 1; }, 5))
      << calls->load();
  user.reset();
  EXPECT_TRUE(waitUntil([&] { return !running("mic2") && !running("mic2_filtered") && calls->load() == 2; }, 5))
      << calls->load();
  settle();
  EXPECT_EQ(calls->load(), 2);
}

}  // namespace
}  // namespace qb
