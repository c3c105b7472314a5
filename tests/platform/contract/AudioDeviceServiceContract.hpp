#pragma once
// Behaviour every AudioDeviceService backend must show, written once and run against
// each backend through a driver that knows how to act on its sound server.
//
// The test environment is fixed: two microphones with uniqueIDs "mic1" and "mic2"
// ("Test Microphone 1", "Test Microphone 2") and output sinks (speakers, headset) whose
// monitors are not capture devices.
//
// To run the suite for a backend, write a driver class that derives from
// AudioContractDriver and is default-constructible, then, inside namespace qb::contract:
//   INSTANTIATE_TYPED_TEST_SUITE_P(MyBackend, AudioDeviceServiceContract, ::testing::Types<MyDriver>);
// A driver whose environment is missing says so through unavailableReason() and the
// suite skips.
//
// Threads: service callbacks arrive on the backend's threads, so everything the tests
// record is guarded by a mutex; waits go through the driver (virtual time for the sim,
// polling in real time for a real server).

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/AudioBuffer.hpp"
#include "platform/AudioDeviceService.hpp"
#include "runtime/Executor.hpp"

namespace qb::contract {

inline const std::string kMic1 = "mic1";
inline const std::string kMic2 = "mic2";
inline const std::string kMic1Name = "Test Microphone 1";
inline const std::string kMic2Name = "Test Microphone 2";

class AudioContractDriver {
 public:
  virtual ~AudioContractDriver() = default;

  // Set when the environment (sound server, test sources) cannot be used; the suite skips.
  virtual std::optional<std::string> unavailableReason() { return std::nullopt; }

  virtual Executor& executor() = 0;
  // The service under test. It lives for the whole test, across server loss.
  virtual AudioDeviceService& service() = 0;

  // Environment actions; each returns once the request was made, not once observed.
  virtual void setDefaultSource(const std::string& uniqueID) = 0;
  // A sine of `frequency` Hz and peak `amplitude` (0..1 of full scale) in every channel.
  virtual void playToneIntoMic(const std::string& uniqueID, double frequency, double amplitude) = 0;
  // Another client records the source (so it is running somewhere).
  virtual void startExternalRecording(const std::string& uniqueID) = 0;
  virtual void stopExternalRecording(const std::string& uniqueID) = 0;
  // The sound server goes away, then comes back with the same sources and default;
  // tones asked for before are not guaranteed to survive.
  virtual void killServer() = 0;
  virtual void restartServer() = 0;

  // The source's native format when the environment fixes it; none skips that check.
  virtual std::optional<StreamDescription> nativeFormat(const std::string& uniqueID) {
    (void)uniqueID;
    return std::nullopt;
  }

  // Lets the backend work until pred() holds or `seconds` passed; false on timeout.
  virtual bool waitUntil(const std::function<bool()>& pred, double seconds) = 0;
  // Lets the backend work for `seconds` (for checks that something does NOT happen).
  virtual void settle(double seconds) {
    waitUntil([] { return false; }, seconds);
  }
};

// Everything a capture session hands over, recorded thread-safely.
class SessionRecorder : public CaptureSessionObserver {
 public:
  void sessionRuntimeError(const std::optional<PlatformError>& error) override {
    std::lock_guard lock(mutex_);
    ++runtimeErrors_;
    lastError_ = error;
  }
  void sessionWasInterrupted(const std::string&) override {
    std::lock_guard lock(mutex_);
    ++interruptions_;
  }
  void sessionInterruptionEnded() override {
    std::lock_guard lock(mutex_);
    ++interruptionsEnded_;
  }
  void onBuffer(const AudioSampleBuffer& buffer) {
    std::lock_guard lock(mutex_);
    buffers_.push_back(buffer);
  }
  size_t bufferCount() const {
    std::lock_guard lock(mutex_);
    return buffers_.size();
  }
  std::vector<AudioSampleBuffer> buffers() const {
    std::lock_guard lock(mutex_);
    return buffers_;
  }
  void clearBuffers() {
    std::lock_guard lock(mutex_);
    buffers_.clear();
  }
  int runtimeErrors() const {
    std::lock_guard lock(mutex_);
    return runtimeErrors_;
  }
  int interruptions() const {
    std::lock_guard lock(mutex_);
    return interruptions_;
  }
  int interruptionsEnded() const {
    std::lock_guard lock(mutex_);
    return interruptionsEnded_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<AudioSampleBuffer> buffers_;
  int runtimeErrors_ = 0;
  int interruptions_ = 0;
  int interruptionsEnded_ = 0;
  std::optional<PlatformError> lastError_;
};

// Counts listener calls from any thread.
class CallCounter {
 public:
  std::function<void()> callback() {
    auto count = count_;
    return [count] {
      std::lock_guard lock(count->mutex);
      ++count->value;
    };
  }
  int value() const {
    std::lock_guard lock(count_->mutex);
    return count_->value;
  }

 private:
  struct Count {
    std::mutex mutex;
    int value = 0;
  };
  std::shared_ptr<Count> count_ = std::make_shared<Count>();
};

// Channel 0 of a buffer as doubles in -1..1; empty when the description is unusable.
inline std::vector<double> channelZero(const AudioSampleBuffer& b) {
  std::vector<double> out;
  if (!b.description) return out;
  const StreamDescription& d = *b.description;
  const uint32_t bytes = d.bitsPerChannel / 8;
  if (bytes == 0 || d.channelsPerFrame == 0) return out;
  const bool planar = (d.formatFlags & FormatFlags::kNonInterleaved) != 0;
  const bool isFloat = (d.formatFlags & FormatFlags::kFloat) != 0;
  const size_t stride = planar ? bytes : size_t(bytes) * d.channelsPerFrame;
  if (b.data.size() < b.numSamples * stride) return out;
  out.reserve(b.numSamples);
  for (size_t i = 0; i < b.numSamples; ++i) {
    const uint8_t* p = b.data.data() + i * stride;
    double v = 0;
    if (isFloat && bytes == 4) {
      float f;
      std::memcpy(&f, p, 4);
      v = f;
    } else if (isFloat && bytes == 8) {
      std::memcpy(&v, p, 8);
    } else if (bytes == 2) {
      int16_t s;
      std::memcpy(&s, p, 2);
      v = s / 32768.0;
    } else if (bytes == 4) {
      int32_t s;
      std::memcpy(&s, p, 4);
      v = s / 2147483648.0;
    } else if (bytes == 1) {
      v = (int(p[0]) - 128) / 128.0;
    } else {
      return {};
    }
    out.push_back(v);
  }
  return out;
}

template <class Driver>
class AudioDeviceServiceContract : public ::testing::Test {
 protected:
  void SetUp() override {
    driver_ = std::make_unique<Driver>();
    if (auto why = driver_->unavailableReason()) GTEST_SKIP() << *why;
  }
  void TearDown() override {
    if (session_ && session_->isRunning()) session_->stopRunning();
    session_.reset();
    queue_.reset();
    recorder_.reset();
    driver_.reset();
  }

  AudioContractDriver& d() { return *driver_; }
  AudioDeviceService& svc() { return driver_->service(); }

  std::optional<AudioObjectID> idOf(const std::string& uniqueID) {
    auto ids = svc().deviceIDs();
    if (!ids.ok()) return std::nullopt;
    for (auto id : ids.value) {
      auto u = svc().uid(id);
      if (u.ok() && u.value == uniqueID) return id;
    }
    return std::nullopt;
  }

  bool isRunning(AudioObjectID id) {
    for (auto scope : {PropertyScope::global, PropertyScope::input, PropertyScope::output}) {
      auto r = svc().isRunningSomewhere(id, scope);
      if (r.ok() && r.value != 0) return true;
    }
    return false;
  }

  bool hasDevice(const std::string& uniqueID) {
    auto devices = svc().discoverDevices();
    return std::any_of(devices.begin(), devices.end(), [&](auto& dev) { return dev.uniqueID == uniqueID; });
  }

  // A running session on the device with its buffers and notifications recorded.
  bool startSession(const std::string& uniqueID) {
    recorder_ = std::make_shared<SessionRecorder>();
    session_ = svc().makeSession();
    if (!session_) return false;
    session_->setObserver(recorder_);
    queue_ = d().executor().makeQueue("contract.capture");
    if (!configureInput(uniqueID)) return false;
    std::weak_ptr<SessionRecorder> weak = recorder_;
    session_->beginConfiguration();
    if (!session_->canAddAudioDataOutput()) {
      session_->commitConfiguration();
      return false;
    }
    session_->addAudioDataOutput(queue_, [weak](const AudioSampleBuffer& b) {
      if (auto r = weak.lock()) r->onBuffer(b);
    });
    session_->commitConfiguration();
    session_->startRunning();
    return session_->isRunning();
  }

  bool configureInput(const std::string& uniqueID) {
    auto devices = svc().discoverDevices();
    auto it = std::find_if(devices.begin(), devices.end(), [&](auto& dev) { return dev.uniqueID == uniqueID; });
    if (it == devices.end()) return false;
    InputResult made = svc().makeInput(*it);
    if (!made.input) return false;
    session_->beginConfiguration();
    for (auto& old : session_->inputs()) session_->removeInput(old);
    bool ok = session_->canAddInput(*made.input);
    if (ok) session_->addInput(made.input);
    session_->commitConfiguration();
    return ok;
  }

  bool waitForBuffers(size_t count, double seconds) {
    return d().waitUntil([&] { return recorder_->bufferCount() >= count; }, seconds);
  }

  std::unique_ptr<Driver> driver_;
  std::shared_ptr<CaptureSession> session_;
  std::shared_ptr<SessionRecorder> recorder_;
  std::shared_ptr<Queue> queue_;
};

TYPED_TEST_SUITE_P(AudioDeviceServiceContract);

// Both microphones are listed with their names, in a stable order, and the device
// objects match them through their uid.
TYPED_TEST_P(AudioDeviceServiceContract, ListsMicrophonesWithMatchingDeviceObjects) {
  auto& svc = this->svc();
  auto devices = svc.discoverDevices();
  auto find = [&](const std::string& u) {
    return std::find_if(devices.begin(), devices.end(), [&](auto& dev) { return dev.uniqueID == u; });
  };
  ASSERT_NE(find(kMic1), devices.end());
  ASSERT_NE(find(kMic2), devices.end());
  EXPECT_EQ(find(kMic1)->localizedName, kMic1Name);
  EXPECT_EQ(find(kMic2)->localizedName, kMic2Name);
  EXPECT_EQ(svc.discoverDevices(), devices) << "discovery order must be stable";

  auto ids = svc.deviceIDs();
  ASSERT_TRUE(ids.ok());
  for (auto id : ids.value) EXPECT_NE(id, 0u);
  for (auto& [u, name] : {std::pair{kMic1, kMic1Name}, std::pair{kMic2, kMic2Name}}) {
    auto id = this->idOf(u);
    ASSERT_TRUE(id) << u << " has no device object";
    auto n = svc.name(*id);
    ASSERT_TRUE(n.ok());
    EXPECT_EQ(n.value, name);
    auto streams = svc.inputStreamCount(*id);
    ASSERT_TRUE(streams.ok());
    EXPECT_GE(streams.value, 1u);
  }
  // Reads on an object that does not exist fail instead of inventing a value.
  EXPECT_FALSE(svc.uid(0).ok());
}

TYPED_TEST_P(AudioDeviceServiceContract, DefaultChangeFiresListenerAndMovesDefault) {
  auto& d = this->d();
  auto& svc = this->svc();
  auto defaultIs = [&](const std::string& u) {
    auto dev = svc.defaultDevice();
    auto id = svc.defaultInputDevice();
    if (!dev || dev->uniqueID != u || !id.ok() || id.value == 0) return false;
    auto idUid = svc.uid(id.value);
    return idUid.ok() && idUid.value == u;
  };
  d.setDefaultSource(kMic1);
  ASSERT_TRUE(d.waitUntil([&] { return defaultIs(kMic1); }, 5.0));

  CallCounter fired;
  ListenerToken token = svc.listenDefaultInputDevice(fired.callback());
  d.setDefaultSource(kMic2);
  ASSERT_TRUE(d.waitUntil([&] { return defaultIs(kMic2) && fired.value() >= 1; }, 5.0))
      << "listener calls: " << fired.value();

  // A removed listener stays silent.
  token.reset();
  int before = fired.value();
  d.setDefaultSource(kMic1);
  ASSERT_TRUE(d.waitUntil([&] { return defaultIs(kMic1); }, 5.0));
  d.settle(0.5);
  EXPECT_EQ(fired.value(), before);
}

TYPED_TEST_P(AudioDeviceServiceContract, DeviceIsRunningWhileSomethingRecordsIt) {
  auto& d = this->d();
  auto& svc = this->svc();
  auto id = this->idOf(kMic2);
  ASSERT_TRUE(id);
  ASSERT_TRUE(d.waitUntil([&] { return !this->isRunning(*id); }, 10.0)) << "mic2 busy before the test";

  CallCounter fired;
  ListenerToken token = svc.listenRunningSomewhere(*id, fired.callback());
  d.startExternalRecording(kMic2);
  EXPECT_TRUE(d.waitUntil([&] { return this->isRunning(*id) && fired.value() >= 1; }, 5.0))
      << "running=" << this->isRunning(*id) << " listener calls=" << fired.value();
  int afterStart = fired.value();
  d.stopExternalRecording(kMic2);
  EXPECT_TRUE(d.waitUntil([&] { return !this->isRunning(*id) && fired.value() > afterStart; }, 10.0))
      << "running=" << this->isRunning(*id) << " listener calls=" << fired.value();

  // Our own capture session counts as a client too.
  auto id1 = this->idOf(kMic1);
  ASSERT_TRUE(id1);
  ASSERT_TRUE(this->startSession(kMic1));
  EXPECT_TRUE(d.waitUntil([&] { return this->isRunning(*id1); }, 5.0));
  this->session_->stopRunning();
  EXPECT_FALSE(this->session_->isRunning());
  EXPECT_TRUE(d.waitUntil([&] { return !this->isRunning(*id1); }, 10.0));
}

// Buffers arrive in the source's own format, consistently described, and carry the
// tone that was played (right level and pitch, so rate and layout are read right).
TYPED_TEST_P(AudioDeviceServiceContract, SessionDeliversBuffersInTheSourceFormat) {
  auto& d = this->d();
  const double freq = 440, amp = 0.5;
  d.playToneIntoMic(kMic1, freq, amp);
  ASSERT_TRUE(this->startSession(kMic1));
  // Measured from the first loud buffer on: a real server starts the player and ramps up in
  // its own time.
  ASSERT_TRUE(d.waitUntil(
      [&] {
        for (auto& b : this->recorder_->buffers())
          for (double v : channelZero(b))
            if (std::abs(v) > amp / 2) return true;
        return false;
      },
      5.0));
  this->recorder_->clearBuffers();
  ASSERT_TRUE(d.waitUntil(
      [&] {
        double seconds = 0;
        for (auto& b : this->recorder_->buffers())
          if (b.description) seconds += b.numSamples / b.description->sampleRate;
        return seconds >= 0.5;
      },
      5.0));

  auto buffers = this->recorder_->buffers();
  ASSERT_TRUE(buffers.front().description);
  const StreamDescription first = *buffers.front().description;
  EXPECT_GT(first.sampleRate, 0);
  EXPECT_GE(first.channelsPerFrame, 1u);
  if (auto native = d.nativeFormat(kMic1)) {
    EXPECT_EQ(first.sampleRate, native->sampleRate);
    EXPECT_EQ(first.channelsPerFrame, native->channelsPerFrame);
    EXPECT_EQ(first.bitsPerChannel, native->bitsPerChannel);
    EXPECT_EQ(first.formatFlags & (FormatFlags::kFloat | FormatFlags::kNonInterleaved),
              native->formatFlags & (FormatFlags::kFloat | FormatFlags::kNonInterleaved));
  }
  std::vector<double> samples;
  for (auto& b : buffers) {
    ASSERT_TRUE(b.description);
    const StreamDescription& s = *b.description;
    EXPECT_EQ(s.sampleRate, first.sampleRate);
    EXPECT_EQ(s.channelsPerFrame, first.channelsPerFrame);
    EXPECT_EQ(s.bitsPerChannel, first.bitsPerChannel);
    EXPECT_EQ(s.formatFlags, first.formatFlags);
    EXPECT_GT(b.numSamples, 0u);
    const bool planar = (s.formatFlags & FormatFlags::kNonInterleaved) != 0;
    const size_t frameBytes = size_t(s.bitsPerChannel / 8) * (planar ? 1 : s.channelsPerFrame);
    EXPECT_EQ(s.bytesPerFrame, frameBytes);
    EXPECT_EQ(b.data.size(), b.numSamples * frameBytes * (planar ? s.channelsPerFrame : 1));
    auto ch = channelZero(b);
    samples.insert(samples.end(), ch.begin(), ch.end());
  }
  ASSERT_FALSE(samples.empty());
  double sum = 0;
  int crossings = 0;
  for (size_t i = 0; i < samples.size(); ++i) {
    sum += samples[i] * samples[i];
    if (i > 0 && (samples[i - 1] < 0) != (samples[i] < 0)) ++crossings;
  }
  const double rms = std::sqrt(sum / double(samples.size()));
  EXPECT_NEAR(rms, amp / std::sqrt(2.0), 0.35 * amp / std::sqrt(2.0));
  const double seconds = double(samples.size()) / first.sampleRate;
  EXPECT_NEAR(crossings / (2 * seconds), freq, 0.15 * freq);

  // After stopRunning nothing more arrives once the queue has drained.
  this->session_->stopRunning();
  d.settle(0.2);
  size_t count = this->recorder_->bufferCount();
  d.settle(0.5);
  EXPECT_EQ(this->recorder_->bufferCount(), count);
}

// The server going away is reported to sessions; when it returns, device listeners
// fire and capture resumes the way the microphone source resumes it.
TYPED_TEST_P(AudioDeviceServiceContract, SessionSurvivesServerRestart) {
  auto& d = this->d();
  auto& svc = this->svc();
  d.playToneIntoMic(kMic1, 440, 0.5);
  ASSERT_TRUE(this->startSession(kMic1));
  ASSERT_TRUE(this->waitForBuffers(5, 5.0));
  CallCounter listChanged;
  ListenerToken listToken = svc.listenDeviceList(listChanged.callback());
  auto& rec = *this->recorder_;

  d.killServer();
  ASSERT_TRUE(d.waitUntil([&] { return rec.runtimeErrors() + rec.interruptions() > 0; }, 10.0))
      << "server loss not reported to the session";
  d.settle(0.3);
  size_t during = rec.bufferCount();
  d.settle(0.5);
  EXPECT_EQ(rec.bufferCount(), during) << "buffers while the server is gone";

  int listBefore = listChanged.value();
  d.restartServer();
  ASSERT_TRUE(d.waitUntil([&] { return this->hasDevice(kMic1) && this->idOf(kMic1).has_value(); }, 15.0))
      << "devices did not come back";
  EXPECT_TRUE(d.waitUntil([&] { return listChanged.value() > listBefore; }, 5.0))
      << "device list listener silent across the restart";
  d.playToneIntoMic(kMic1, 440, 0.5);

  if (rec.interruptions() > 0) {
    ASSERT_TRUE(d.waitUntil([&] { return rec.interruptionsEnded() > 0; }, 15.0)) << "interruption never ended";
    if (!this->session_->isRunning()) this->session_->startRunning();
  } else {
    // A runtime error stops the session; the source rebuilds its input and restarts.
    if (this->session_->isRunning()) this->session_->stopRunning();
    ASSERT_TRUE(this->configureInput(kMic1));
    this->session_->startRunning();
  }
  EXPECT_TRUE(this->session_->isRunning());
  size_t resumedFrom = rec.bufferCount();
  EXPECT_TRUE(this->waitForBuffers(resumedFrom + 5, 10.0)) << "no audio after the server returned";
}

REGISTER_TYPED_TEST_SUITE_P(AudioDeviceServiceContract, ListsMicrophonesWithMatchingDeviceObjects,
                            DefaultChangeFiresListenerAndMovesDefault, DeviceIsRunningWhileSomethingRecordsIt,
                            SessionDeliversBuffersInTheSourceFormat, SessionSurvivesServerRestart);

}  // namespace qb::contract
