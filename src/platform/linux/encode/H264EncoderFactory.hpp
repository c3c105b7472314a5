#pragma once
// The H.264 encoders in order of preference: a hardware encoder where the machine has a device
// for one and it works (VAAPI, NVENC; through libavcodec, loaded only then), else libx264.

#include <mutex>
#include <string>

#include "platform/Platform.hpp"
#include "platform/VideoEncoder.hpp"

namespace qb::encode {

class H264EncoderFactory final : public VideoEncoderFactory {
 public:
  struct Options {
    bool tryHardware = true;  // false: libx264 only (tests that need one known encoder)
  };

  explicit H264EncoderFactory(LogFunction log, Options options);
  explicit H264EncoderFactory(LogFunction log) : H264EncoderFactory(std::move(log), Options{}) {}

  // Tries each candidate on a black picture of the configured size and keeps the first that
  // encodes it. Logs the choice the first time and whenever it changes. Negative status when
  // the settings are unusable (-EINVAL) or no candidate works.
  std::variant<std::unique_ptr<VideoEncoder>, int32_t> create(const EncoderSettings& settings) override;

  // The codec the last successful create() chose ("libx264", "h264_vaapi", ...).
  std::string lastChoice() const;

 private:
  void chose(const std::string& codec, const std::string& refused);

  LogFunction log_;
  Options options_;
  mutable std::mutex mutex_;
  std::string lastChoice_;
};

}  // namespace qb::encode
