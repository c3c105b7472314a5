#pragma once
// A capture session on one sound-server source: a record stream in the source's own
// sample format, ~20 ms buffers handed to the output's queue in order.
//
// Failures map onto the session notifications: the stream failing while the server is
// up is a runtime error (the session stops); the server going away interrupts it; when
// the server is back the session records the same source again and reports the end of
// the interruption, or a runtime error when that source is gone.
//
// Thread-safe: configuration and start/stop come from the owner's queue, notifications
// go out on the service's event queue, buffers on the output's queue. State is guarded
// by the sound-server loop's lock (see PulseMainLoop), held only for short updates.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/AudioDeviceService.hpp"
#include "platform/linux/pulse/PulseConnection.hpp"
#include "platform/linux/pulse/PulseIntrospection.hpp"
#include "platform/linux/pulse/PulseRecordStream.hpp"

namespace qb {

class LinuxCaptureInput final : public CaptureInput {
 public:
  explicit LinuxCaptureInput(CaptureDevice device) : device_(std::move(device)) {}
  const CaptureDevice& device() const override { return device_; }

 private:
  CaptureDevice device_;
};

class LinuxCaptureSession final : public CaptureSession,
                                  public pulse::PulseConnectionObserver,
                                  public std::enable_shared_from_this<LinuxCaptureSession> {
 public:
  static std::shared_ptr<LinuxCaptureSession> create(std::shared_ptr<pulse::PulseConnection> connection,
                                                     std::shared_ptr<Queue> events);
  ~LinuxCaptureSession() override;

  void beginConfiguration() override {}
  void commitConfiguration() override;
  std::vector<std::shared_ptr<CaptureInput>> inputs() const override;
  void removeInput(const std::shared_ptr<CaptureInput>& input) override;
  bool canAddInput(const CaptureInput& input) const override;
  void addInput(std::shared_ptr<CaptureInput> input) override;
  bool hasAudioDataOutput() const override;
  bool canAddAudioDataOutput() const override;
  void addAudioDataOutput(std::shared_ptr<Queue> queue, SampleBufferHandler handler) override;
  void startRunning() override;
  void stopRunning() override;
  bool isRunning() const override;
  void setObserver(std::weak_ptr<CaptureSessionObserver> observer) override;

  // For tests and diagnostics: the granted fragment size in bytes (0 when not running)
  // and the source recorded now.
  uint32_t grantedFragmentBytes() const;
  std::string recordingSource() const;

  // PulseConnectionObserver (loop thread).
  void connectionReady(pa_context* context, bool reconnected) override;
  void connectionLost() override;

 private:
  LinuxCaptureSession(std::shared_ptr<pulse::PulseConnection> connection, std::shared_ptr<Queue> events);

  // All below: lock held.
  std::optional<std::string> configuredSource() const;
  void openOn(const pulse::SourceInfo& source);
  void reopenAsync(const std::string& source);
  void onStreamFailed(const std::string& reason);
  void reportRuntimeError(const std::string& description);
  void post(std::function<void(CaptureSessionObserver&)> notify);

  std::shared_ptr<pulse::PulseConnection> connection_;
  std::shared_ptr<Queue> events_;
  pulse::PulseConnection::Registration registration_;

  std::vector<std::shared_ptr<CaptureInput>> inputs_;
  std::shared_ptr<Queue> outputQueue_;
  std::shared_ptr<SampleBufferHandler> handler_;
  std::weak_ptr<CaptureSessionObserver> observer_;

  bool wantRunning_ = false;
  bool interrupted_ = false;
  bool starting_ = false;   // startRunning waits; its failures are not notifications
  uint64_t openToken_ = 0;  // newest asynchronous (re)open wins
  std::string recordSource_;
  std::unique_ptr<pulse::PulseRecordStream> record_;
};

}  // namespace qb
