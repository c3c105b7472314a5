#pragma once
// Fixture of the live-audio end-to-end tests: skips without the private sound server,
// puts the server's devices back after each test, runs the built helper as a host would
// and waits for tones to show up in its frames.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include "HelperProcess.hpp"
#include "e2e/support/HelperUnderTest.hpp"
#include "e2e/support/LiveAudio.hpp"

namespace qb::e2e {

class LiveAudioTest : public ::testing::Test {
 protected:
  static constexpr double kAnswerTimeout = 10;
  // A tone counts as present when its component is within this fraction of its amplitude.
  static constexpr double kToneTolerance = 0.05;

  void SetUp() override {
    if (auto why = missingLiveEnvironment()) GTEST_SKIP() << *why;
    ASSERT_EQ(restoreSoundServer(), "");
  }

  void TearDown() override {
    if (helper && HasFailure()) printHelperLog();
    helper.reset();
    if (!missingLiveEnvironment()) {
      EXPECT_EQ(restoreSoundServer(), "");
    }
  }

  static qbtools::HelperOptions defaultOptions() {
    qbtools::HelperOptions o;
    o.binary = helperBinary();
    return o;
  }

  // Starts the helper (if not started) and its audio streaming.
  void startStreaming(qbtools::HelperOptions options = defaultOptions()) {
    if (!helper) helper = std::make_unique<qbtools::HelperProcess>(std::move(options));
    uint64_t from = helper->lineCount();
    ASSERT_TRUE(helper->send("START_STREAMING"));
    ASSERT_TRUE(helper->waitForResponse("STREAMING:started", kAnswerTimeout, from)) << "no STREAMING:started";
  }

  void stopCleanly() {
    uint64_t from = helper->lineCount();
    ASSERT_TRUE(helper->send("STOP"));
    ASSERT_TRUE(helper->waitForResponse("STOPPED:ok", kAnswerTimeout, from));
    auto status = helper->waitForExit(kAnswerTimeout);
    ASSERT_TRUE(status) << "the helper did not exit after STOP";
    EXPECT_TRUE(status->exited && status->code == 0) << status->describe();
    EXPECT_EQ(helper->protocolError(), "");
  }

  static bool carriesTone(const Frame& f, double frequency, double amplitude) {
    return std::abs(toneAmplitude(f, frequency) - amplitude) <= kToneTolerance * amplitude;
  }

  // Waits until `count` frames of the channel received at or after `since` carry the tone;
  // returns the first of them (without its payload).
  std::optional<Frame> waitForTone(uint8_t type, double frequency, double amplitude, Timestamp since,
                                   double timeoutSeconds, size_t count = 10) {
    std::optional<Frame> first;
    auto matches = [&](const Frame& f) {
      bool m = f.type == type && f.received >= since && carriesTone(f, frequency, amplitude);
      if (m && !first) {
        first = f;
        first->payload.clear();
      }
      return m;
    };
    if (!helper->waitForFrames(count, timeoutSeconds, matches)) return std::nullopt;
    return first;
  }

  // Waits for a line with exactly this text, at index `from` or later.
  std::optional<qbtools::Line> waitForText(const std::string& text, double timeoutSeconds, uint64_t from = 0) {
    return helper->waitForLine([&](const qbtools::Line& l) { return l.text == text; }, timeoutSeconds, from);
  }

  void printHelperLog() const {
    auto lines = helper->lines();
    std::fprintf(stderr, "---- helper stderr (%zu lines, callback progress left out)\n", lines.size());
    for (const auto& l : lines) {
      if (l.text.find("Callback #") != std::string::npos || l.text.find("[MicPipeline] Success") != std::string::npos)
        continue;
      std::fprintf(stderr, "[%8.3f] %s\n", secondsBetween(helper->started(), l.received), l.text.c_str());
    }
    std::fprintf(stderr, "---- end of helper stderr\n");
  }

  std::unique_ptr<qbtools::HelperProcess> helper;
};

}  // namespace qb::e2e
