#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>

#include "sources/MicrophoneTestSupport.hpp"

namespace qb::testing {
namespace {

using ::testing::ElementsAre;

const std::string kMic2 = "usb-mic";
const std::string kCriticalDeviceChange =
    "\u26a0\ufe0f CRITICAL: Session failed to restart after device change - marking inactive";

TEST_F(MicrophoneTest, StartStopAndRepeatedCalls) {
  auto& m = makeMic();
  m.stop();
  EXPECT_THAT(micLog(), ElementsAre("Stopping..."));

  output.clear();
  ASSERT_EQ(m.start(), std::nullopt);
  EXPECT_EQ(m.selectedDeviceID(), kBuiltin);
  EXPECT_THAT(micLog(),
              ElementsAre("Starting...", "Using device: Built-in Microphone", "Audio output added",
                          "Emitted capture_start diagnostic", "Started successfully, session.isRunning=true"));
  EXPECT_EQ(diagnostics().size(), 1u);

  output.clear();
  ASSERT_EQ(m.start(), std::nullopt);  // already active: nothing is set up again
  EXPECT_THAT(micLog(), ElementsAre("Starting..."));
  EXPECT_TRUE(diagnostics().empty());
  EXPECT_EQ(sim.audio().counters().sessionStartAttempts, 1);

  output.clear();
  m.stop();
  EXPECT_THAT(micLog(), ElementsAre("Stopping...", "Stopped"));
  EXPECT_FALSE(m.isActive());
  EXPECT_EQ(sim.audio().recordingSessionCount(kBuiltin), 0);
}

TEST_F(MicrophoneTest, StartFailuresAreTyped) {
  sim.audio().setAccessGranted(false);
  auto& m = makeMic();
  auto error = m.start();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind, SourceError::Kind::permissionDenied);
  EXPECT_EQ(error->description, "permissionDenied");
  EXPECT_EQ(micLog().back(), "Permission denied");
  EXPECT_EQ(sim.audio().counters().inputsCreated, 0);

  sim.audio().setAccessGranted(true);
  sim.audio().failSessionStart(true);
  error = m.start();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->description, "sessionStartFailed");
  EXPECT_EQ(micLog().back(), "Session failed to start");
  EXPECT_FALSE(m.isActive());

  sim.audio().failSessionStart(false);
  sim.audio().setDefaultDevice(std::nullopt);
  ex.advance(1);
  output.clear();
  EXPECT_EQ(m.start()->description, "sessionStartFailed");
  EXPECT_THAT(micLog(),
              ElementsAre("Starting...", "No default audio device found", "Session configuration failed (no inputs)"));
  EXPECT_TRUE(diagnostics().empty());
}

TEST_F(MicrophoneTest, ChannelThatCannotRunWaitsForTheServerOrADeviceAndSaysSo) {
  auto& audio = sim.audio();
  audio.addMicrophone(kMic2, "USB Mic");
  auto& m = makeMic();
  audio.serverDown();
  struct Step {
    const char* what;
    bool failStart;
    std::function<void()> act;
    std::vector<std::string> events;
    bool capturing;
  };
  const PlatformError gone{-1, "D", "gone"};
  const Step steps[] = {
      {"start without a server",
       false,
       [&] { (void)m.start(); },
       {"EVENT:MICROPHONE_START_FAILED:sessionStartFailed"},
       false},
      {"the server comes", false, [&] { audio.serverUp(); }, {"EVENT:MICROPHONE_RESUMED"}, true},
      {"a restart after a change fails",
       true,
       [&] { audio.setDefaultDevice(kMic2); },
       {"EVENT:MICROPHONE_STOPPED:deviceChange"},
       false},
      {"a change that cannot start either says nothing", true, [&] { audio.setDefaultDevice(kBuiltin); }, {}, false},
      {"the next change starts it", false, [&] { audio.setDefaultDevice(kMic2); }, {"EVENT:MICROPHONE_RESUMED"}, true},
      {"a restart after a runtime error fails",
       true,
       [&] { audio.postRuntimeError(kMic2, gone); },
       {"EVENT:MICROPHONE_STOPPED:runtimeError"},
       false},
      {"stopped while waiting", false, [&] { m.stop(); }, {}, false},
      {"the server's return then starts nothing", false, [&] { audio.serverDown(), audio.serverUp(); }, {}, false},
  };
  for (const auto& step : steps) {
    output.clear();
    audio.failSessionStart(step.failStart);
    step.act();
    ex.advance(1);
    EXPECT_EQ(output.linesStartingWith("EVENT:"), step.events) << step.what;
    EXPECT_EQ(m.isActive(), step.capturing) << step.what;
    EXPECT_EQ(audio.recordingSessionCount(kMic2) + audio.recordingSessionCount(kBuiltin), step.capturing ? 1 : 0)
        << step.what;
  }
}

TEST_F(MicrophoneTest, CapturedAudioIsConvertedAndDelivered) {
  ASSERT_EQ(makeMic().start(), std::nullopt);
  sim.audio().setTone(kBuiltin, 440, 0.5);
  ex.advance(1.0);
  // One second of 48 kHz mono float becomes about one second of 48 kHz stereo s16.
  EXPECT_NEAR(static_cast<double>(delivered.size()), 48000.0 * 4, 48000.0 * 4 * 0.05);
  int peak = 0;
  for (size_t i = 0; i + 1 < delivered.size(); i += 2) {
    int16_t s;
    std::memcpy(&s, &delivered[i], 2);
    peak = std::max(peak, std::abs(static_cast<int>(s)));
  }
  EXPECT_NEAR(peak, 16384, 1000);
}

TEST_F(MicrophoneTest, ProgressAndFailureLinesAreRateLimited) {
  ASSERT_EQ(makeMic().start(), std::nullopt);
  output.clear();
  AudioSampleBuffer noFormat = tone();
  noFormat.description.reset();
  sim.audio().deliver(kBuiltin, noFormat);
  for (int i = 0; i < 10; ++i) sim.audio().deliver(kBuiltin, tone(0));
  for (int i = 0; i < 989; ++i) sim.audio().deliver(kBuiltin, tone());
  ex.runUntilIdle();

  std::vector<int> progress, emitting, dropped;
  for (auto& line : micLog()) {
    int n = 0;
    if (std::sscanf(line.c_str(), "Callback #%d:", &n) != 1) continue;
    std::string tag = "Callback #" + std::to_string(n) + ": ";
    if (line.rfind(tag + "48000.0Hz/1ch, frames=", 0) == 0) progress.push_back(n);
    if (line.rfind(tag + "emitting ", 0) == 0) emitting.push_back(n);
    if (line == tag + "convertToPCMBuffer returned nil") dropped.push_back(n);
  }
  EXPECT_EQ(micLog().front(), "Callback #1: (no format desc)");
  EXPECT_THAT(progress, ElementsAre(2, 3, 4, 5, 50, 100, 500, 1000));
  EXPECT_THAT(dropped, ElementsAre(1, 2, 3, 4, 5, 6, 7, 8, 9, 10));  // #11 is dropped silently
  EXPECT_TRUE(emitting.empty());                                     // the first delivery is #12
  mic->emitCaptureProblemDiagnostic("requested");
  EXPECT_EQ(lastDiagnostic()["selectedDevice"]["framesReceived"], 989);
}

// --- Conversion of sample buffers --------------------------------------------------

// Channel 0 holds a ramp, the others a constant.
std::vector<float> channelRamp(size_t frames, uint32_t channels) {
  std::vector<float> v(frames * channels, -0.5f);
  for (size_t i = 0; i < frames; ++i) v[i * channels] = 0.001f * static_cast<float>(i);
  return v;
}

TEST_F(MicrophoneTest, FourChannelFloatFallsBackToChannelZeroWithItsStride) {
  auto& m = makeMic();
  auto buffer = sampleBufferFromFloats(pcmDescription(SampleFormat::Float32, 48000, 4, true), channelRamp(100, 4));
  for (int i = 0; i < 2; ++i) {
    auto pcm = m.convertToPCMBuffer(buffer);
    ASSERT_TRUE(pcm);
    EXPECT_EQ(pcm->format, (PcmFormat{SampleFormat::Float32, 48000, 1, true}));
    ASSERT_EQ(pcm->bytes.size(), 100u * 4);
    for (size_t f = 0; f < 100; ++f) {
      float s;
      std::memcpy(&s, pcm->bytes.data() + f * 4, 4);
      ASSERT_FLOAT_EQ(s, 0.001f * static_cast<float>(f)) << "frame " << f;
    }
  }
  EXPECT_THAT(micLog(), ElementsAre("WARNING: Mic delivering 4ch @ 48000.0Hz \u2014 extracting channel 0 as mono "
                                    "(non-standard channel count)"));
}

TEST_F(MicrophoneTest, FallbackChecksBlockSizesAndStereoNeverFallsBack) {
  auto& m = makeMic();
  auto planar = sampleBufferFromFloats(pcmDescription(SampleFormat::Int16, 48000, 3, false), channelRamp(100, 3));
  auto pcm = m.convertToPCMBuffer(planar);
  ASSERT_TRUE(pcm);
  EXPECT_TRUE(std::equal(pcm->bytes.begin(), pcm->bytes.end(), planar.data.begin()));  // the first plane

  planar.data.resize(150);
  auto interleaved = sampleBufferFromFloats(pcmDescription(SampleFormat::Int16, 48000, 3, true), channelRamp(100, 3));
  interleaved.data.resize(599);
  output.clear();
  EXPECT_FALSE(m.convertToPCMBuffer(planar));
  EXPECT_FALSE(m.convertToPCMBuffer(interleaved));
  EXPECT_THAT(micLog(),
              ElementsAre("Block buffer too small: 150 < 200", "Block buffer too small for interleaved extraction"));

  // Two channels that cannot be described are dropped silently, not reduced to one.
  auto stereo = sampleBufferFromFloats(pcmDescription(SampleFormat::Int32, 44100, 2, true), channelRamp(10, 2));
  stereo.description->bitsPerChannel = 24;
  output.clear();
  EXPECT_FALSE(m.convertToPCMBuffer(stereo));
  EXPECT_TRUE(micLog().empty());
}

TEST(MicrophoneLevel, FloatAndInt16AreMeasuredOtherTypesCountAsSilence) {
  auto make = [](SampleFormat f, std::vector<float> samples) {
    auto d = pcmDescription(f, 48000, 2, true);
    return copyToPcmBuffer(sampleBufferFromFloats(d, samples), *PcmFormat::fromDescription(d)).value();
  };
  std::vector<float> square = {0.5f, -0.5f, 0.5f, -0.5f};
  EXPECT_NEAR(MicrophoneSource::level(make(SampleFormat::Float32, square)), 0.5, 1e-9);
  EXPECT_NEAR(MicrophoneSource::level(make(SampleFormat::Int16, square)), 0.5, 1e-4);
  EXPECT_EQ(MicrophoneSource::level(make(SampleFormat::Int32, square)), 0.0);
  EXPECT_EQ(MicrophoneSource::level(make(SampleFormat::UInt8, square)), 0.0);
  EXPECT_EQ(MicrophoneSource::level(make(SampleFormat::Float32, {})), 0.0);
}

// --- Default device changes, runtime errors, interruptions -------------------------

TEST_F(MicrophoneTest, BurstOfDefaultChangesReconfiguresOnceAfterItSettles) {
  sim.audio().addMicrophone(kMic2, "USB Mic");
  auto& m = makeMic();
  ASSERT_EQ(m.start(), std::nullopt);
  output.clear();
  for (auto uid : {kMic2, kBuiltin, kMic2}) {
    sim.audio().setDefaultDevice(uid);
    ex.advance(0.1);
  }
  ex.advance(0.19);
  EXPECT_TRUE(micLog().empty());
  ex.advance(0.02);
  EXPECT_THAT(micLog(), ElementsAre("Default device changed, reconfiguring (wasActive=true)...",
                                    "Using device: USB Mic", "Session restarted after device change"));
  EXPECT_EQ(m.selectedDeviceID(), kMic2);
  EXPECT_EQ(sim.audio().recordingSessionCount(kMic2), 1);
  EXPECT_TRUE(diagnostics().empty());
  EXPECT_EQ(output.linesStartingWith("[MicPipeline] Pipeline reset").size(), 1u);

  sim.audio().failSessionStart(true);
  sim.audio().setDefaultDevice(kBuiltin);
  ex.advance(0.5);
  EXPECT_EQ(micLog().back(), kCriticalDeviceChange);
  EXPECT_FALSE(m.isActive());
}

TEST_F(MicrophoneTest, DefaultChangeWhileIdleFollowsTheDeviceWithoutStarting) {
  sim.audio().addMicrophone(kMic2, "USB Mic");
  auto& m = makeMic();
  sim.audio().setDefaultDevice(kMic2);
  ex.advance(0.5);
  EXPECT_THAT(micLog(), ElementsAre("Default device changed, reconfiguring (wasActive=false)...",
                                    "Using device: USB Mic", "Audio output added"));
  EXPECT_EQ(m.selectedDeviceID(), kMic2);
  EXPECT_FALSE(m.isActive());
  EXPECT_EQ(sim.audio().counters().sessionStartAttempts, 0);
}

TEST_F(MicrophoneTest, AChosenDeviceIgnoresTheDefaultUntilItGoesThenTheDefaultIsFollowed) {
  sim.audio().addMicrophone(kMic2, "USB Mic");
  const std::string kThird = "headset-mic";
  sim.audio().addMicrophone(kThird, "Headset Mic");
  auto& m = makeMic(kMic2);
  ASSERT_EQ(m.start(), std::nullopt);
  EXPECT_EQ(sim.audio().recordingSessionCount(kMic2), 1);
  sim.audio().setDefaultDevice(kThird);
  ex.advance(0.5);
  EXPECT_EQ(m.selectedDeviceID(), kMic2);
  EXPECT_EQ(sim.audio().recordingSessionCount(kThird), 0);
  EXPECT_TRUE(output.linesStartingWith("EVENT:").empty());

  sim.audio().removeDevice(kMic2);
  ex.advance(0.5);
  EXPECT_THAT(output.linesStartingWith("EVENT:"),
              ElementsAre(R"(EVENT:MIC_DEVICE_FALLBACK:{"defaultDeviceId":"headset-mic","defaultDeviceName":)"
                          R"("Headset Mic","deviceId":"usb-mic"})"));
  EXPECT_TRUE(m.isActive());
  EXPECT_EQ(sim.audio().recordingSessionCount(kThird), 1);
  sim.audio().setTone(kThird, 440, 0.5);
  ex.advance(0.2);
  EXPECT_GT(chunks, 0) << "capture goes on from the default";

  // From then on the default is followed, and the device coming back changes nothing.
  sim.audio().addMicrophone(kMic2, "USB Mic");
  sim.audio().setDefaultDevice(kBuiltin);
  ex.advance(0.5);
  EXPECT_EQ(m.selectedDeviceID(), kBuiltin);
  EXPECT_EQ(output.linesStartingWith("EVENT:").size(), 1u);
}

TEST_F(MicrophoneTest, RuntimeErrorRecoversWithoutResettingCounters) {
  auto& m = makeMic();
  ASSERT_EQ(m.start(), std::nullopt);
  for (int i = 0; i < 3; ++i) deliver(tone());
  output.clear();
  sim.audio().postRuntimeError(kBuiltin, std::nullopt, false);
  sim.audio().postRuntimeError(kBuiltin, PlatformError{-11819, "AVFoundationErrorDomain", "Media services reset"});
  ex.runUntilIdle();
  EXPECT_THAT(micLog(),
              ElementsAre("Runtime error (no error in userInfo)", "\u26a0\ufe0f Runtime error: Media services reset",
                          "Attempting to recover from runtime error...", "Using device: Built-in Microphone",
                          "Session restarted after runtime error"));
  EXPECT_EQ(sim.audio().recordingSessionCount(kBuiltin), 1);
  deliver(tone());
  EXPECT_EQ(countLog("Callback #4: 48000.0Hz/1ch, frames=480"), 1u);
  EXPECT_TRUE(diagnostics().empty());

  sim.audio().failSessionStart(true);
  sim.audio().postRuntimeError(kBuiltin, PlatformError{-11819, "AVFoundationErrorDomain", "gone"});
  ex.runUntilIdle();
  EXPECT_EQ(micLog().back(), "\u26a0\ufe0f CRITICAL: Session failed to restart after runtime error - marking inactive");
  EXPECT_FALSE(m.isActive());
  sim.audio().failSessionStart(false);
  EXPECT_EQ(m.start(), std::nullopt);  // a later start sets everything up again
}

TEST_F(MicrophoneTest, InterruptionEndResumesOnlyWhenNotAlreadyRunning) {
  auto& m = makeMic();
  ASSERT_EQ(m.start(), std::nullopt);
  output.clear();
  sim.audio().interrupt(kBuiltin, "reason=server lost");
  sim.audio().endInterruption(kBuiltin, true);  // the session runs again by itself
  ex.runUntilIdle();
  EXPECT_THAT(micLog(), ElementsAre("Session interrupted: reason=server lost",
                                    "Session interruption ended - resuming if active"));

  output.clear();
  sim.audio().interrupt(kBuiltin, "");
  sim.audio().endInterruption(kBuiltin, false);
  ex.runUntilIdle();
  EXPECT_THAT(micLog(), ElementsAre("Session interrupted: [:]", "Session interruption ended - resuming if active",
                                    "Session resumed after interruption"));
  EXPECT_EQ(sim.audio().recordingSessionCount(kBuiltin), 1);

  sim.audio().interrupt(kBuiltin);
  sim.audio().failSessionStart(true);
  sim.audio().endInterruption(kBuiltin, false);
  ex.runUntilIdle();
  EXPECT_EQ(micLog().back(), "\u26a0\ufe0f CRITICAL: Session failed to resume after interruption - marking inactive");
  EXPECT_FALSE(m.isActive());
}

// The server comes back, the source restarts its session after the debounce, and the
// server goes away again before that restart has run or while it runs: every time, the
// capture waits for the server and resumes with it.
TEST_F(MicrophoneTest, ServerDroppingDuringTheRestartOnlyInterruptsTheCapture) {
  struct Case {
    const char* when;
    double dropAfterReturn;
  };
  for (const Case& c : {Case{"before the restart", 0.1}, Case{"inside the session start", 0.4}}) {
    SCOPED_TRACE(c.when);
    sim.audio().setSessionStartDelay(0);
    auto& m = makeMic();
    ASSERT_EQ(m.start(), std::nullopt);
    sim.audio().setTone(kBuiltin, 440, 0.5);
    sim.audio().setSessionStartDelay(0.2);
    for (int drop = 0; drop < 3; ++drop) {
      sim.audio().serverDown();
      ex.advance(1);
      sim.audio().serverUp();
      ex.runAsyncAfter(c.dropAfterReturn, [&] { sim.audio().serverDown(); });
      ex.advance(1);
      sim.audio().serverUp();
      const int before = chunks;
      ex.advance(1);
      EXPECT_GT(chunks, before + 20) << "drop " << drop;
    }
    EXPECT_EQ(output.linesStartingWith("[Swift Mic] \u26a0\ufe0f CRITICAL").size(), 0u);
    EXPECT_GE(countLog("Session start interrupted: sound server unavailable - resuming when it is back"), 6u);
    mic.reset();
    ex.advance(1);
  }
}

// --- Status pacing and teardown ----------------------------------------------------

TEST_F(MicrophoneTest, StatusReportComesWithTheFirstBufferFiftySecondsAfterStart) {
  auto& m = makeMic();
  ASSERT_EQ(m.start(), std::nullopt);
  deliver(tone(480, 0.5));
  ex.advance(49.9);
  deliver(tone(480, 0.5));
  EXPECT_EQ(diagnostics().size(), 1u);  // only the start report

  ex.advance(0.1);
  deliver(tone(480, 0.0));
  ASSERT_EQ(diagnostics().size(), 2u);
  auto status = lastDiagnostic();
  EXPECT_EQ(status["event"], "capture_status");
  EXPECT_EQ(status["selectedDevice"]["framesReceived"], 3);
  EXPECT_NEAR(status["selectedDevice"]["rms"].get<double>(), 2.0 * (0.5 / std::sqrt(2.0)) / 3.0, 0.01);

  // Nothing accumulated since the status report.
  m.emitCaptureProblemDiagnostic("requested");
  EXPECT_EQ(lastDiagnostic()["selectedDevice"]["rms"], 0.0);
  EXPECT_EQ(lastDiagnostic()["selectedDevice"]["framesReceived"], 3);

  ex.advance(49);
  deliver(tone());
  EXPECT_EQ(diagnostics().size(), 3u);  // the next status is again 50 s away
}

TEST_F(MicrophoneTest, DestroyingTheSourceStopsCaptureAndRemovesItsListener) {
  size_t before = sim.audio().listenerCount();
  ASSERT_EQ(makeMic().start(), std::nullopt);
  EXPECT_EQ(sim.audio().listenerCount(), before + 1);
  sim.audio().setTone(kBuiltin, 440, 0.5);
  ex.advance(0.1);
  sim.audio().setDefaultDevice(std::nullopt);  // leaves a reconfiguration pending
  ex.runUntilIdle();

  mic.reset();
  ex.advance(1);
  EXPECT_EQ(sim.audio().recordingSessionCount(kBuiltin), 0);
  EXPECT_EQ(sim.audio().listenerCount(), before);
  EXPECT_EQ(countLog("Default device changed, reconfiguring (wasActive=true)..."), 0u);
}

}  // namespace
}  // namespace qb::testing
