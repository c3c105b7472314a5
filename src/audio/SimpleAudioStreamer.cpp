#include "audio/SimpleAudioStreamer.hpp"

namespace qb {

SimpleAudioStreamer::SimpleAudioStreamer(Executor& executor, std::shared_ptr<AudioSource> mic,
                                         std::shared_ptr<AudioSource> system, DefaultAudioSources defaults)
    : executor_(executor),
      defaults_(std::move(defaults)),
      micSource_(std::move(mic)),
      systemSource_(std::move(system)) {
  bufferQueue_ = executor_.makeQueue("audio.buffer");
}
void SimpleAudioStreamer::start() {}
void SimpleAudioStreamer::stop() {}
std::shared_ptr<AudioSource> SimpleAudioStreamer::micSource() const { return micSource_; }
std::shared_ptr<AudioSource> SimpleAudioStreamer::systemSource() const { return systemSource_; }

}  // namespace qb
