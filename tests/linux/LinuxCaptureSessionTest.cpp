// Capture sessions and device objects on the real test server, beyond the shared
// contract: native formats with ~20 ms buffers, failure notifications, IDs that survive a
// server restart, monitors that are never microphones.

#include <mutex>

#include "BufferLog.hpp"
#include "PulseTestEnv.hpp"
#include "platform/linux/pulse/LinuxAudioDeviceService.hpp"
#include "platform/linux/pulse/LinuxCaptureSession.hpp"
#include "runtime/ThreadExecutor.hpp"

namespace qb {
namespace {

using namespace qb::testenv;

class Notices : public CaptureSessionObserver {
 public:
  void sessionRuntimeError(const std::optional<PlatformError>&) override { add("error"); }
  void sessionWasInterrupted(const std::string&) override { add("interrupted"); }
  void sessionInterruptionEnded() override { add("ended"); }
  std::vector<std::string> all() {
    std::lock_guard lock(mutex_);
    return seen_;
  }

 private:
  void add(const std::string& s) {
    std::lock_guard lock(mutex_);
    seen_.push_back(s);
  }
  std::mutex mutex_;
  std::vector<std::string> seen_;
};

class LinuxCaptureSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QB_REQUIRE_TEST_SERVER();
    connection_ = std::make_shared<pulse::PulseConnection>();
    service_ = std::make_unique<LinuxAudioDeviceService>(connection_, executor_.makeQueue("test.events"));
    queue_ = executor_.makeQueue("test.capture");
  }
  void TearDown() override {
    if (session_) session_->stopRunning();
    session_.reset();
    service_.reset();
    pactl("set-default-source mic1");
  }

  // A running session on `source` whose buffers are kept.
  bool startOn(const std::string& source) {
    auto made = service_->makeInput(CaptureDevice{source, ""});
    if (!made.input) return false;
    session_ = std::dynamic_pointer_cast<LinuxCaptureSession>(service_->makeSession());
    session_->setObserver(notices_);
    session_->beginConfiguration();
    session_->addInput(made.input);
    session_->addAudioDataOutput(queue_, [this](const AudioSampleBuffer& b) { buffers_.add(b); });
    session_->commitConfiguration();
    session_->startRunning();
    return session_->isRunning();
  }

  ThreadExecutor executor_;
  std::shared_ptr<pulse::PulseConnection> connection_;
  std::unique_ptr<LinuxAudioDeviceService> service_;
  std::shared_ptr<Queue> queue_;
  std::shared_ptr<LinuxCaptureSession> session_;
  std::shared_ptr<Notices> notices_ = std::make_shared<Notices>();
  BufferLog buffers_;
};

TEST_F(LinuxCaptureSessionTest, RecordsEachSourceInItsOwnFormatInTwentyMillisecondBuffers) {
  for (const std::string source : {"mic1", "mic2"}) {
    SCOPED_TRACE(source);
    const auto format = sourceFormat(source);
    ASSERT_TRUE(format);
    const double rate = format->sampleRate;
    ASSERT_TRUE(startOn(source));
    EXPECT_EQ(session_->recordingSource(), source);
    const uint32_t twentyMs = uint32_t(rate * 0.02) * format->bytesPerFrame;
    EXPECT_GE(session_->grantedFragmentBytes(), twentyMs / 2);
    EXPECT_LE(session_->grantedFragmentBytes(), twentyMs * 2);
    ASSERT_TRUE(waitUntil([&] { return buffers_.count() >= 30; }, 5));
    auto buffers = buffers_.take();
    size_t frames = 0;
    for (auto& b : buffers) {
      ASSERT_TRUE(b.description);
      EXPECT_EQ(b.description->sampleRate, rate);
      EXPECT_EQ(b.description->channelsPerFrame, format->channelsPerFrame);
      EXPECT_EQ(b.description->bitsPerChannel, format->bitsPerChannel);
      EXPECT_EQ(b.description->formatFlags, format->formatFlags);
      EXPECT_EQ(b.data.size(), b.numSamples * format->bytesPerFrame);
      // The server's few-frame pieces are joined: no buffer under 15 ms.
      EXPECT_GE(b.numSamples, size_t(rate * 0.015));
      frames += b.numSamples;
    }
    const double ms = 1000.0 * double(frames) / double(buffers.size()) / rate;
    EXPECT_GE(ms, 10);
    EXPECT_LE(ms, 40);
    session_->stopRunning();
    EXPECT_TRUE(session_->recordingSource().empty());
  }
  EXPECT_TRUE(notices_->all().empty());
}

TEST_F(LinuxCaptureSessionTest, StreamKilledWhileTheServerIsUpIsARuntimeError) {
  ASSERT_TRUE(startOn("mic2"));
  auto outputs = sourceOutputsNamed("Quellbrook microphone");
  ASSERT_EQ(outputs.size(), 1u);
  ASSERT_TRUE(killSourceOutput(outputs[0]));
  ASSERT_TRUE(waitUntil([&] { return !notices_->all().empty(); }, 5));
  EXPECT_EQ(notices_->all(), std::vector<std::string>{"error"});
  EXPECT_FALSE(session_->isRunning());
}

// Across a server restart device ids stay, and a session on a source that did not come back
// fails (one that did resumes: the audio contract's restart case).
TEST_F(LinuxCaptureSessionTest, AfterAServerRestartIdsStayAndASourceThatIsGoneFailsItsSession) {
  auto before = service_->deviceIDs();
  ASSERT_TRUE(before.ok());
  ASSERT_EQ(before.value.size(), 2u) << "monitors are not capture devices";
  // A source loaded at run time does not come back with the restarted server.
  ASSERT_TRUE(pactl("load-module module-remap-source source_name=qb_transient master=mic2_feed.monitor"));
  ASSERT_TRUE(startOn("qb_transient"));
  ASSERT_TRUE(testEnv("restart-pulse 0.3"));
  ASSERT_TRUE(waitUntil([&] { return notices_->all().size() >= 2; }, 15));
  EXPECT_EQ(notices_->all(), (std::vector<std::string>{"interrupted", "error"}));
  EXPECT_FALSE(session_->isRunning());

  PropertyRead<std::vector<AudioObjectID>> after;
  ASSERT_TRUE(waitUntil(
      [&] {
        after = service_->deviceIDs();
        return after.ok() && after.value.size() == 2;
      },
      10));
  EXPECT_EQ(after.value, before.value);
  EXPECT_EQ(service_->uid(after.value[0]).value, "mic1");
}

TEST_F(LinuxCaptureSessionTest, AMonitorAsDefaultSourceIsNoMicrophone) {
  ASSERT_TRUE(pactl("set-default-source speakers.monitor"));
  // Once the server has taken the change (PipeWire's session manager a moment later).
  ASSERT_TRUE(
      waitUntil([&] { return service_->defaultInputDevice().ok() && service_->defaultInputDevice().value == 0; }, 5));
  EXPECT_FALSE(service_->defaultDevice());
  EXPECT_FALSE(service_->makeInput(CaptureDevice{"speakers.monitor", ""}).input);
  for (auto& d : service_->discoverDevices()) EXPECT_FALSE(isMonitorName(d.uniqueID));
}

}  // namespace
}  // namespace qb
