#pragma once
// The resampler through libswresample: soxr where the library has it, since it is the
// higher-quality engine and keeps filter state across calls like the built-in one.

#include "platform/Resampler.hpp"

struct SwrContext;

namespace qb {

class SwrResampler final : public Resampler {
 public:
  // See makeResampler.
  static std::unique_ptr<SwrResampler> create(const PcmFormat& input, int outputRate, int outputChannels);
  ~SwrResampler() override;
  SwrResampler(const SwrResampler&) = delete;
  SwrResampler& operator=(const SwrResampler&) = delete;

  Result<int, std::string> convert(const PcmBuffer& in, uint8_t* out, int capacity) override;
  int64_t delayUs() const override;

 private:
  SwrResampler() = default;
  bool init(const PcmFormat& in, int outputRate, int outputChannels, bool soxr, bool customMatrix);

  SwrContext* ctx_ = nullptr;
};

}  // namespace qb
