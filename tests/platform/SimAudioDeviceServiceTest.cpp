// The simulated audio service: what tests of the microphone logic rely on beyond the
// shared contract (virtual timing, asynchronous notifications, weak observers, faults).

#include <gtest/gtest.h>

#include <cstring>

#include "platform/sim/SimPlatform.hpp"
#include "runtime/ManualExecutor.hpp"

namespace qb {
namespace {

struct Recorder : CaptureSessionObserver {
  std::vector<std::pair<double, AudioSampleBuffer>> buffers;
  std::vector<std::string> notes;
  void sessionRuntimeError(const std::optional<PlatformError>& e) override {
    notes.push_back("error:" + (e ? std::to_string(e->code) : std::string("none")));
  }
  void sessionWasInterrupted(const std::string&) override { notes.push_back("interrupted"); }
  void sessionInterruptionEnded() override { notes.push_back("ended"); }
};

class SimAudioTest : public ::testing::Test {
 protected:
  SimAudioTest() : sim(ex), audio(sim.audio()) {
    audio.addMicrophone("mic", "Mic", pcmDescription(SampleFormat::Float32, 48000, 1, true));
    audio.addMicrophone("usb", "USB Mic", pcmDescription(SampleFormat::Int16, 16000, 2, true));
  }

  std::shared_ptr<CaptureSession> record(const std::string& uid) {
    auto s = audio.makeSession();
    s->setObserver(rec);
    auto made = audio.makeInput({uid, ""});
    EXPECT_TRUE(made.input);
    s->addInput(made.input);
    s->addAudioDataOutput(queue, [this](const AudioSampleBuffer& b) { rec->buffers.emplace_back(ex.elapsed(), b); });
    s->startRunning();
    return s;
  }

  ManualExecutor ex;
  SimPlatform sim;
  SimAudioDeviceService& audio;
  std::shared_ptr<Queue> queue = ex.makeQueue("test.capture");
  std::shared_ptr<Recorder> rec = std::make_shared<Recorder>();
};

TEST_F(SimAudioTest, ToneArrivesEveryIntervalOfVirtualTimeOnlyWhileRunning) {
  audio.setTone("usb", 1000, 0.5, 0.02);
  auto s = record("usb");
  ASSERT_TRUE(s->isRunning());
  ex.advance(0.1);
  ASSERT_EQ(rec->buffers.size(), 5u);
  for (size_t i = 0; i < rec->buffers.size(); ++i) {
    EXPECT_NEAR(rec->buffers[i].first, 0.02 * double(i + 1), 1e-9);
    const auto& b = rec->buffers[i].second;
    EXPECT_EQ(b.numSamples, 320u);  // 20 ms at 16 kHz
    EXPECT_EQ(b.data.size(), 320u * 2 * 2);
    EXPECT_EQ(b.description->bitsPerChannel, 16u);
  }
  // A buffer already queued when the session stops is not delivered.
  audio.deliver("usb", audio.toneBuffer("usb", 10, 1000, 0.5));
  s->stopRunning();
  ex.advance(0.1);
  EXPECT_EQ(rec->buffers.size(), 5u);
  EXPECT_EQ(audio.counters().buffersDelivered, 5u);
}

TEST_F(SimAudioTest, PushedBuffersReachOnlySessionsOfThatDevice) {
  auto s = record("mic");
  AudioSampleBuffer odd;  // no description: what a broken driver hands over
  odd.numSamples = 4;
  audio.deliver("usb", audio.toneBuffer("usb", 10, 440, 0.1));
  audio.deliver("mic", odd);
  EXPECT_TRUE(rec->buffers.empty()) << "delivered inside the scripting call";
  ex.runUntilIdle();
  ASSERT_EQ(rec->buffers.size(), 1u);
  EXPECT_FALSE(rec->buffers[0].second.description);
}

TEST_F(SimAudioTest, RecordingMakesTheDeviceRunAndListenersHearOfItLater) {
  auto id = *audio.idOf("mic");
  int runningCalls = 0, defaultCalls = 0;
  auto t1 = audio.listenRunningSomewhere(id, [&] { ++runningCalls; });
  auto t2 = audio.listenDefaultInputDevice([&] { ++defaultCalls; });
  auto s = record("mic");
  audio.setDefaultDevice("usb");
  EXPECT_EQ(runningCalls + defaultCalls, 0) << "listener ran inside the call";
  ex.runUntilIdle();
  EXPECT_EQ(runningCalls, 1);
  EXPECT_EQ(defaultCalls, 1);
  EXPECT_EQ(audio.isRunningSomewhere(id, PropertyScope::global).value, 1u);
  EXPECT_EQ(audio.isRunningSomewhere(id, PropertyScope::input).value, 1u);
  EXPECT_EQ(audio.isRunningSomewhere(id, PropertyScope::output).value, 0u);

  // A change announced before the token goes is not delivered after it.
  s->stopRunning();
  t1.reset();
  ex.runUntilIdle();
  EXPECT_EQ(runningCalls, 1);
  EXPECT_EQ(audio.listenerCount(), 1u);
}

TEST_F(SimAudioTest, ScriptedReadFailuresHitOnlyTheirDeviceAndScope) {
  auto mic = *audio.idOf("mic"), usb = *audio.idOf("usb");
  audio.setRunningSomewhere("mic", PropertyScope::input, true);
  audio.failPropertyRead(SimAudioProperty::isRunningSomewhere, -50, "mic", PropertyScope::global);
  EXPECT_EQ(audio.isRunningSomewhere(mic, PropertyScope::global).status, -50);
  EXPECT_EQ(audio.isRunningSomewhere(mic, PropertyScope::input).value, 1u);
  EXPECT_TRUE(audio.isRunningSomewhere(usb, PropertyScope::global).ok());
  EXPECT_FALSE(audio.uid(0).ok());
  audio.clearPropertyFailures();
  EXPECT_TRUE(audio.isRunningSomewhere(mic, PropertyScope::global).ok());
}

TEST_F(SimAudioTest, ServerLossInterruptsAndItsReturnResumes) {
  audio.setTone("mic", 440, 0.2, 0.01);
  auto s = record("mic");
  ex.advance(0.05);
  audio.serverDown();
  EXPECT_FALSE(s->isRunning());
  EXPECT_TRUE(audio.discoverDevices().empty());
  EXPECT_EQ(audio.defaultInputDevice().status, kAudioBadObjectError);
  EXPECT_FALSE(audio.makeInput({"mic", "Mic"}).input);
  ex.advance(0.5);
  size_t during = rec->buffers.size();
  EXPECT_EQ(during, 5u);

  audio.serverUp();
  ex.advance(0.05);
  EXPECT_TRUE(s->isRunning());
  EXPECT_EQ(rec->notes, (std::vector<std::string>{"interrupted", "ended"}));
  EXPECT_GT(rec->buffers.size(), during);
}

TEST_F(SimAudioTest, UnpluggedDeviceStopsItsSessionsAndDefaultFallsBack) {
  const auto id = *audio.idOf("mic");
  auto s = record("mic");
  audio.removeDevice("mic");
  EXPECT_FALSE(s->isRunning());
  ex.runUntilIdle();
  EXPECT_EQ(rec->notes,
            (std::vector<std::string>{"error:" + std::to_string(SimAudioDeviceService::kDeviceDisconnectedCode)}));
  EXPECT_EQ(audio.defaultDevice()->uniqueID, "usb");
  EXPECT_EQ(audio.recordingSessionCount("usb"), 0);
  // Re-plugged, it keeps its object ID.
  audio.addMicrophone("mic", "Mic");
  EXPECT_EQ(audio.idOf("mic"), id);
}

TEST_F(SimAudioTest, ObserverIsHeldWeakly) {
  auto s = record("mic");
  rec.reset();
  audio.postRuntimeError("mic", PlatformError{-1, "x", "boom"});
  ex.runUntilIdle();  // nothing to call, nothing to crash
  EXPECT_FALSE(s->isRunning());
}

TEST_F(SimAudioTest, StartFailuresAndDelaysAreScriptable) {
  audio.failSessionStart(true, "usb");
  auto failed = record("usb");
  EXPECT_FALSE(failed->isRunning());
  audio.failSessionStart(false, "usb");
  audio.setSessionStartDelay(0.2);
  auto late = record("mic");
  EXPECT_TRUE(late->isRunning());
  EXPECT_NEAR(ex.elapsed(), 0.2, 1e-9);
  auto c = audio.counters();
  EXPECT_EQ(c.sessionStartAttempts, 2);
  EXPECT_EQ(c.sessionsStarted, 1);

  audio.failInputCreation("mic", PlatformError{-11852, "x", "no access"});
  auto made = audio.makeInput({"mic", "Mic"});
  EXPECT_FALSE(made.input);
  EXPECT_EQ(made.error.code, -11852);
}

TEST(SimAudioSignal, PlanarAndInterleavedLayoutsHoldTheSameSamples) {
  std::vector<float> frames = {0.5f, -0.5f, 0.25f, 0.0f, 1.0f, -1.0f};  // 2 frames x 3 channels
  auto planar = sampleBufferFromFloats(pcmDescription(SampleFormat::Int16, 8000, 3, false), frames);
  auto inter = sampleBufferFromFloats(pcmDescription(SampleFormat::Int16, 8000, 3, true), frames);
  ASSERT_EQ(planar.numSamples, 2u);
  auto at = [](const AudioSampleBuffer& b, size_t i) {
    int16_t v;
    std::memcpy(&v, b.data.data() + 2 * i, 2);
    return v;
  };
  // Channel 1 of frame 1 is 1.0: sample 2 + 1 planar, 3 + 1 interleaved.
  EXPECT_EQ(at(planar, 2 + 1), 32767);
  EXPECT_EQ(at(inter, 3 + 1), 32767);
  EXPECT_EQ(at(planar, 4 + 1), -32768);
  EXPECT_EQ(at(planar, 0), 16384);
  EXPECT_EQ(planar.description->bytesPerFrame, 2u);
  EXPECT_EQ(inter.description->bytesPerFrame, 6u);
  auto u8 = sampleBufferFromFloats(pcmDescription(SampleFormat::UInt8, 8000, 1, true), {0.0f, -1.0f});
  EXPECT_EQ(u8.data, (std::vector<uint8_t>{128, 0}));
}

}  // namespace
}  // namespace qb
