// The system-audio stream on the real test server: format and fragment size, a move onto a
// microphone taken as a takeover, a stop while the server is away. Following the default
// output, a vanished output and server restarts are the end-to-end LiveAudioTest's cases.

#include <cmath>
#include <mutex>

#include "BufferLog.hpp"
#include "PulseTestEnv.hpp"
#include "platform/linux/pulse/PulseConnection.hpp"
#include "platform/linux/pulse/SystemAudioStream.hpp"
#include "platform/linux/x11/LinuxScreenCaptureService.hpp"
#include "runtime/ThreadExecutor.hpp"

namespace qb {
namespace {

using namespace qb::testenv;

const std::string kMediaName = "Quellbrook system audio";

// Records buffers and stops, from the service's threads.
class Recorder : public StreamOutput, public StreamDelegate {
 public:
  void streamDidOutputAudio(const CaptureStream&, const AudioSampleBuffer& b) override { buffers.add(b); }
  void streamDidStop(const CaptureStream&, const PlatformError& e) override {
    std::lock_guard lock(mutex_);
    stops_.push_back(e.code);
  }
  std::vector<int64_t> stops() {
    std::lock_guard lock(mutex_);
    return stops_;
  }

  BufferLog buffers;

 private:
  std::mutex mutex_;
  std::vector<int64_t> stops_;
};

double rmsOf(const std::vector<AudioSampleBuffer>& buffers) {
  double sum = 0;
  size_t n = 0;
  for (auto& b : buffers) {
    const float* f = reinterpret_cast<const float*>(b.data.data());
    for (size_t i = 0; i < b.data.size() / 4; ++i, ++n) sum += double(f[i]) * f[i];
  }
  return n ? std::sqrt(sum / double(n)) : 0;
}

class SystemAudioStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QB_REQUIRE_TEST_SERVER();
    ASSERT_TRUE(pactl("set-default-sink speakers"));
    connection_ = std::make_shared<pulse::PulseConnection>();
    events_ = executor_.makeQueue("test.events");
    audio_ = executor_.makeQueue("test.audio");
    screen_ = std::make_unique<LinuxScreenCaptureService>(executor_, connection_, events_);
  }
  void TearDown() override {
    if (stream_) stop();
    stream_.reset();
    screen_.reset();
    connection_.reset();
    pactl("set-default-sink speakers");
  }

  std::optional<PlatformError> start() {
    StreamConfiguration config;
    config.capturesAudio = true;
    auto s = screen_->makeStream(ContentFilter::forDisplay(1), config, recorder_);
    stream_ = std::dynamic_pointer_cast<SystemAudioStream>(s);
    EXPECT_TRUE(stream_);
    EXPECT_FALSE(stream_->addStreamOutput(recorder_, StreamOutputType::audio, audio_));
    Completion<std::optional<PlatformError>> done;
    stream_->startCapture([done](std::optional<PlatformError> e) { done.complete(e); });
    auto result = done.waitFor(executor_, 10);
    EXPECT_TRUE(result) << "startCapture never completed";
    return result ? *result : PlatformError{-1, "test", "timeout"};
  }
  void stop() {
    Completion<std::optional<PlatformError>> done;
    stream_->stopCapture([done](std::optional<PlatformError> e) { done.complete(e); });
    EXPECT_TRUE(done.waitFor(executor_, 5));
  }

  ThreadExecutor executor_;
  std::shared_ptr<pulse::PulseConnection> connection_;
  std::shared_ptr<Queue> events_, audio_;
  std::unique_ptr<LinuxScreenCaptureService> screen_;
  std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
  std::shared_ptr<SystemAudioStream> stream_;
};

TEST_F(SystemAudioStreamTest, DeliversTheDefaultOutputAsFloatStereoInTwentyMillisecondBuffers) {
  auto tone = playTone("speakers", 440, 0.5);
  ASSERT_FALSE(start());
  EXPECT_EQ(stream_->recordingSource(), "speakers.monitor");
  EXPECT_EQ(sourcesRecordedBy(kMediaName), std::vector<std::string>{"speakers.monitor"});
  // Without a requested fragment size the server would hand over ~2 s at a time.
  const uint32_t granted = stream_->grantedFragmentBytes();
  EXPECT_GE(granted, 480u * 8);
  EXPECT_LE(granted, 1920u * 8);

  // Measured once the tone is there: the player starts in its own time.
  ASSERT_TRUE(waitUntil([&] { return rmsOf(recorder_->buffers.take()) > 0.2; }, 5)) << "the tone never came";
  ASSERT_TRUE(waitUntil([&] { return recorder_->buffers.count() >= 25; }, 5));
  auto buffers = recorder_->buffers.take();
  size_t frames = 0;
  for (auto& b : buffers) {
    ASSERT_TRUE(b.description);
    EXPECT_EQ(b.description->sampleRate, 48000);
    EXPECT_EQ(b.description->channelsPerFrame, 2u);
    EXPECT_EQ(b.description->bitsPerChannel, 32u);
    EXPECT_TRUE(b.description->formatFlags & FormatFlags::kFloat);
    EXPECT_FALSE(b.description->formatFlags & FormatFlags::kNonInterleaved);
    EXPECT_EQ(b.data.size(), b.numSamples * 8);
    // Smaller pieces from the server are joined up to 15 ms at least.
    EXPECT_GE(b.numSamples, 720u);
    frames += b.numSamples;
  }
  const double average = double(frames) / double(buffers.size());
  // Never the seconds-long chunks of an unset fragment size.
  EXPECT_GE(average, 480);
  EXPECT_LE(average, 1920);
  EXPECT_NEAR(rmsOf(buffers), 0.5 / std::sqrt(2.0), 0.1);
  EXPECT_TRUE(recorder_->stops().empty());
}

TEST_F(SystemAudioStreamTest, AnotherClientEndingOrMovingTheRecordingIsATakeover) {
  ASSERT_FALSE(start());
  auto outputs = sourceOutputsNamed(kMediaName);
  ASSERT_EQ(outputs.size(), 1u);
  auto micTone = playTone("mic1", 440, 0.8);
  // Moving it onto a microphone is refused or ends the stream; it never records the mic.
  pactl("move-source-output " + std::to_string(outputs[0]) + " mic1");
  recorder_->buffers.take();
  ASSERT_TRUE(waitUntil([&] { return recorder_->buffers.count() >= 10 || !recorder_->stops().empty(); }, 5));
  EXPECT_LT(rmsOf(recorder_->buffers.take()), 0.01);
  for (auto& s : sourcesRecordedBy(kMediaName)) EXPECT_TRUE(isMonitorName(s)) << s;

  if (recorder_->stops().empty()) {
    ASSERT_TRUE(killSourceOutput(outputs[0]));
    ASSERT_TRUE(waitUntil([&] { return !recorder_->stops().empty(); }, 5));
  }
  EXPECT_EQ(recorder_->stops(), std::vector<int64_t>{StreamErrorCode::kTakenOver});
}

TEST_F(SystemAudioStreamTest, StoppedWhileTheServerIsAwayRecordsNothingWhenItIsBack) {
  ASSERT_FALSE(start());
  auto generation = [&] {
    pulse::PulseMainLoop::Lock lock(connection_->loop());
    return connection_->generation();
  };
  const uint64_t before = generation();
  ASSERT_TRUE(testEnv("kill-pulse"));
  ASSERT_TRUE(waitUntil([&] { return stream_->recordingSource().empty(); }, 5));
  stop();
  ASSERT_TRUE(testEnv("start-pulse"));
  ASSERT_TRUE(waitUntil([&] { return generation() > before; }, 10)) << "no new connection";
  // A recording would be set up within a few round trips of the new connection.
  executor_.sleep(0.5);
  EXPECT_TRUE(sourcesRecordedBy(kMediaName).empty()) << "a stopped stream recorded again";
  EXPECT_TRUE(recorder_->stops().empty());
}

TEST_F(SystemAudioStreamTest, PicturesAreRefusedAndCompletionsComeOnce) {
  StreamConfiguration config;
  config.capturesAudio = true;
  auto s = screen_->makeStream(ContentFilter::forDisplay(1), config, recorder_);
  auto err = s->addStreamOutput(recorder_, StreamOutputType::screen, audio_);
  ASSERT_TRUE(err);
  EXPECT_EQ(err->description,
            "This stream carries system audio only: pictures come from a stream without capturesAudio");
  EXPECT_TRUE(s->removeStreamOutput(StreamOutputType::screen));
  EXPECT_EQ(s->configuration().sampleRate, 48000);
  EXPECT_EQ(s->configuration().channelCount, 2);

  std::atomic<int> calls{0};
  Completion<bool> done;
  s->startCapture([&](std::optional<PlatformError>) {
    ++calls;
    done.complete(true);
  });
  // Stopped while starting: both complete, once each.
  Completion<bool> stopped;
  s->stopCapture([&](std::optional<PlatformError>) {
    ++calls;
    stopped.complete(true);
  });
  EXPECT_TRUE(done.waitFor(executor_, 10));
  EXPECT_TRUE(stopped.waitFor(executor_, 10));
  executor_.sleep(0.2);
  EXPECT_EQ(calls.load(), 2);
  EXPECT_TRUE(sourcesRecordedBy(kMediaName).empty()) << "a stopped stream still records";
}

}  // namespace
}  // namespace qb
