#pragma once
// A simulated capture stream, made by SimScreenCaptureService::makeStream. While
// capturing it delivers float32 interleaved system audio (the configured rate and
// channel count) every 10 ms and, when a screen output is added, pictures as the
// service's content changes (see SimScreenCaptureService), at most one per minimum frame
// interval (1/60 s when none is set), from a picture pool of its own: while receivers
// hold every picture, a due picture is skipped and tried again an interval later.
// Outputs and the delegate are held weakly. Thread-safe.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/FramePacer.hpp"
#include "platform/PicturePool.hpp"
#include "platform/ScreenCaptureService.hpp"
#include "runtime/Executor.hpp"

namespace qb {

class SimScreenCaptureService;
enum class SimScreenOp;

class SimCaptureStream final : public CaptureStream, public std::enable_shared_from_this<SimCaptureStream> {
 public:
  SimCaptureStream(std::weak_ptr<SimScreenCaptureService> service, Executor& executor, std::shared_ptr<Queue> queue,
                   int serial, const ContentFilter& filter, const StreamConfiguration& config,
                   std::weak_ptr<StreamDelegate> delegate);
  ~SimCaptureStream() override;

  const StreamConfiguration& configuration() const override { return config_; }
  std::optional<PlatformError> addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                                               std::shared_ptr<Queue> queue) override;
  std::optional<PlatformError> removeStreamOutput(StreamOutputType type) override;
  void startCapture(ErrorCompletion done) override;
  void stopCapture(ErrorCompletion done) override;
  void updateContentFilter(const ContentFilter& filter, ErrorCompletion done) override;

  // --- Inspection ----------------------------------------------------------------
  int serial() const { return serial_; }  // 1 for the service's first stream
  ContentFilter filter() const;
  bool shows(const ContentFilter& target) const;
  bool isCapturing() const;
  bool hasOutput(StreamOutputType type) const;
  int audioBuffersDelivered() const;
  int videoFramesDelivered() const;
  int videoFramesSkipped() const;  // ticks without a free picture

  // --- Scripting -----------------------------------------------------------------
  // The stream stops on its own; the delegate hears of it on the service's queue.
  // Works on a stream that already stopped too (a late error of a stale stream).
  void stopWithError(int64_t code, const std::string& description = {});
  void setAudioStalled(bool stalled);
  // Pushes one buffer or picture to the output now (while capturing).
  void deliverAudio(const AudioSampleBuffer& buffer);
  void deliverVideo(const VideoFrame& frame);
  // What the stream shows changed: a picture is due (paced).
  void contentChanged();

 private:
  struct Output {
    std::weak_ptr<StreamOutput> receiver;
    std::shared_ptr<Queue> queue;
    uint64_t token = 0;  // tells a re-added output from the one a buffer was meant for
  };

  // Completes `done` on the service's queue after the operation's delay, in call
  // order; `effect` runs at completion unless a scripted failure was drawn.
  void completeLater(SimScreenOp op, std::function<std::optional<PlatformError>()> effect, ErrorCompletion done);
  void armTimersLocked();
  void cancelTimersLocked();
  void audioTick();
  void schedulePictureLocked();
  void takePicture();
  void post(StreamOutputType type, std::function<void(StreamOutput&, const CaptureStream&)> call);

  std::weak_ptr<SimScreenCaptureService> service_;
  Executor& executor_;
  std::shared_ptr<Queue> queue_;  // the service's; completions run here even if the service went first
  const int serial_;
  const StreamConfiguration config_;
  std::weak_ptr<StreamDelegate> delegate_;
  mutable std::mutex mutex_;
  ContentFilter filter_;
  Output outputs_[2];
  uint64_t nextToken_ = 1;
  bool capturing_ = false;
  bool stalled_ = false;
  uint64_t generation_ = 0;
  TaskHandle audioTimer_;
  TaskHandle pictureTimer_;
  double pictureDue_ = 0;
  FramePacer pacer_;
  uint64_t motionStep_ = 0;
  double lastCompletionDue_ = 0;  // clock uptime of the last scheduled completion
  double phase_ = 0;
  int audioDelivered_ = 0;
  int videoDelivered_ = 0;
  int videoSkipped_ = 0;
  PicturePool pictures_;
};

}  // namespace qb
