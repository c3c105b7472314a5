#pragma once
// The thread every H.264 encoder here encodes on: pictures queue up and are encoded one at a
// time, in order, on the encoder's own thread, where their outputs are delivered too. A
// codec only says how to encode one picture and how to drain.

#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/VideoEncoder.hpp"

namespace qb::encode {

class ThreadedVideoEncoder : public VideoEncoder {
 public:
  void encode(const VideoFrame& frame, bool forceKeyframe, Output output) final;
  void completeFrames() final;
  void invalidate() final;

 protected:
  ThreadedVideoEncoder() = default;
  // Starts the thread; call once, at the end of the subclass's constructor.
  void startThread();
  // Invalidates and ends the thread; call first in the subclass's destructor, since the
  // thread calls the subclass.
  void stopThread();

  // Encoder thread. Encodes `frame` and calls deliver() for it once, now or from a later
  // call (an encoder that holds frames back), unless it is drained or dropped first.
  virtual void encodeOne(VideoFrame frame, bool forceKeyframe, Output output) = 0;
  // Encoder thread. Everything held back comes out (or fails); the next frame starts afresh
  // with an IDR.
  virtual void drain() = 0;
  // Calls `output` unless the encoder was invalidated.
  void deliver(const Output& output, std::optional<PlatformError> error, const EncodedFrame* frame = nullptr);

  // Encoder thread: the frames inside the codec, in input order, by the codec's pts.
  struct InFlight {
    int64_t pts = 0;
    double presentationTime = 0;
    Output output;
  };
  void track(int64_t pts, double presentationTime, Output output);
  // The frame tracked last failed on submission.
  void failLast(const PlatformError& error);
  // The frame the codec's output with `pts` belongs to; frames before it were dropped by the
  // codec and get their error now. None when no frame has that pts.
  std::optional<InFlight> finished(int64_t pts, const PlatformError& dropped);
  void failInFlight(const PlatformError& error);
  bool anyInFlight() const { return !inFlight_.empty(); }

 private:
  struct Job {
    VideoFrame frame;
    bool forceKeyframe = false;
    Output output;
    std::optional<std::promise<void>> completed;  // set: a completeFrames marker
  };
  bool invalidated();
  void run();

  std::deque<InFlight> inFlight_;  // encoder thread only

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  bool invalidated_ = false;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace qb::encode
