#pragma once
// Sample-type, channel and rate conversion of linear PCM into interleaved signed 16-bit.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/AudioBuffer.hpp"
#include "platform/PlatformError.hpp"

namespace qb {

// One conversion from one input format. It keeps its filter state across calls, so that
// consecutive buffers join without a seam. Not thread-safe: its owner calls it from one
// queue. Pure computation: it waits for nothing and talks to no server.
class Resampler {
 public:
  virtual ~Resampler() = default;
  // Converts `in`, which has the format the resampler was made for, at most INT_MAX frames
  // and bytes covering them (the caller checks all three), into `out`, which has room for
  // `capacity` output frames. Returns the frames written: 0 while the filter primes, and what
  // does not fit is kept for the next call. Or, when the conversion fails, the library's text
  // for the error: the caller drops this buffer and may go on with the next.
  virtual Result<int, std::string> convert(const PcmBuffer& in, uint8_t* out, int capacity) = 0;
  // The input taken in but not yet given out, in microseconds.
  virtual int64_t delayUs() const = 0;
};

// A resampler from `input` into `outputChannels` interleaved 16-bit channels at `outputRate`
// Hz, or null when there is none for that input (an unknown sample type, a rate outside
// [1, INT_MAX], no channels or more than 64; the same bounds hold for the output) or the
// library refuses it: the caller reports the input format as unsupported. Mono goes to every
// output channel at full level; counts the library cannot map are averaged into each output
// channel so that nothing clips. Any thread.
std::unique_ptr<Resampler> makeResampler(const PcmFormat& input, int outputRate, int outputChannels);

}  // namespace qb
