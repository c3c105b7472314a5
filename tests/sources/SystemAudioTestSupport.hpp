#pragma once
// A system audio source on the simulated platform in virtual time, with every stderr
// line stamped with the virtual time at which it was written.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sim/SimAudioSignal.hpp"
#include "platform/sim/SimPlatform.hpp"
#include "runtime/ManualExecutor.hpp"
#include "sources/SystemAudioSource.hpp"
#include "wire/Output.hpp"

namespace qb::testing {

class SystemAudioTest : public ::testing::Test {
 protected:
  SystemAudioTest()
      : sink_(OutputSink{{}, [this](std::string_view line) {
                           if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
                           std::lock_guard guard(mutex_);
                           lines_.push_back(stamp(ex.elapsed()) + " " + std::string(line));
                         }}) {
    sim.screen().setDisplays({DisplayInfo{1, 1920, 1080}});
    source = SystemAudioSource::make(sim.platform());
    source->setOnAudioData([this](std::span<const uint8_t> bytes, int64_t captureTimeUs) {
      std::lock_guard guard(mutex_);
      captureTimes.push_back(captureTimeUs);
      delivered.insert(delivered.end(), bytes.begin(), bytes.end());
      ++deliveries;
    });
  }
  ~SystemAudioTest() override {
    if (source) source->stop();
    source.reset();
    ex.runUntilIdle();
  }

  static std::string stamp(double t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", t);
    return buf;
  }

  // Lines written since the last call, each "<virtual time> <line>".
  std::vector<std::string> take() {
    std::lock_guard guard(mutex_);
    auto out = std::move(lines_);
    lines_.clear();
    return out;
  }
  // As take(), but only lines that contain `needle`.
  std::vector<std::string> takeMatching(const std::string& needle) {
    std::vector<std::string> out;
    for (auto& l : take())
      if (l.find(needle) != std::string::npos) out.push_back(l);
    return out;
  }

  void startAndExpectSuccess() {
    ASSERT_EQ(source->start(), std::nullopt);
    ASSERT_TRUE(source->isActive());
  }
  std::shared_ptr<SimCaptureStream> currentStream() { return sim.screen().latestStream(); }

  // A float32 buffer of `frames` frames, every sample of channel c equal to values[c].
  static AudioSampleBuffer constantBuffer(double rate, std::vector<float> values, size_t frames, bool interleaved) {
    auto d = pcmDescription(SampleFormat::Float32, rate, static_cast<uint32_t>(values.size()), interleaved);
    std::vector<float> samples;
    for (size_t i = 0; i < frames; ++i) samples.insert(samples.end(), values.begin(), values.end());
    return sampleBufferFromFloats(d, samples);
  }

  static constexpr const char* kPrefix = "SystemAudioSource: ";

  ManualExecutor ex;
  SimPlatform sim{ex};

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
  ScopedOutputSink sink_;

 protected:
  std::shared_ptr<SystemAudioSource> source;
  std::vector<uint8_t> delivered;
  std::vector<int64_t> captureTimes;
  int deliveries = 0;
};

}  // namespace qb::testing
