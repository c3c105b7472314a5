#include "monitoring/MicSampler.hpp"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

#include "platform/DeviceQueries.hpp"
#include "wire/LineText.hpp"
#include "wire/Output.hpp"

namespace qb {

namespace {

constexpr PrefixedLog log{"[MicSampler] "};

constexpr size_t kNameLength = 50;
constexpr size_t kErrorLength = 100;

int64_t millisecondsSince(const Executor& executor, double start) {
  return static_cast<int64_t>((executor.clock().now() - start) * 1000);
}

}  // namespace

std::optional<std::string> encodeRunningMicsSample(const RunningMicsSampleDiagnostic& d) {
  auto samples = nlohmann::ordered_json::array();
  for (const auto& s : d.samples) {
    if (!std::isfinite(s.rms) || !std::isfinite(s.peakRms)) return std::nullopt;
    nlohmann::ordered_json entry = {{"id", s.id},
                                    {"name", s.name},
                                    {"rms", s.rms},
                                    {"peakRms", s.peakRms},
                                    {"framesCaptured", s.framesCaptured},
                                    {"sampleDurationMs", s.sampleDurationMs}};
    if (s.error) entry["error"] = *s.error;
    samples.push_back(std::move(entry));
  }
  nlohmann::ordered_json report = {{"event", d.event},
                                   {"reason", d.reason},
                                   {"samples", std::move(samples)},
                                   {"totalDurationMs", d.totalDurationMs}};
  if (d.selectedDeviceId) report["selectedDeviceId"] = *d.selectedDeviceId;
  try {
    return report.dump();
  } catch (const nlohmann::json::exception&) {  // text that is not UTF-8
    return std::nullopt;
  }
}

std::shared_ptr<MicSampler> MicSampler::make(Executor& executor, std::shared_ptr<AudioDeviceService> audio,
                                             int sampleDurationMs, int maxConcurrent) {
  return std::make_shared<MicSampler>(Token{}, executor, std::move(audio), sampleDurationMs, maxConcurrent);
}

MicSampler::MicSampler(Token, Executor& executor, std::shared_ptr<AudioDeviceService> audio, int sampleDurationMs,
                       int maxConcurrent)
    : executor_(executor),
      audio_(std::move(audio)),
      sampleDurationMs_(sampleDurationMs),
      maxConcurrent_(maxConcurrent),
      queue_(executor.makeQueue("mic.sampler")) {}

void MicSampler::sampleRunningMics(std::string reason, std::optional<std::string> selectedDeviceId,
                                   std::function<void(RunningMicsSampleDiagnostic)> done) {
  // Device reads may wait on the sound server: not on the caller's thread.
  queue_->async(
      [self = shared_from_this(), reason = std::move(reason), selected = std::move(selectedDeviceId),
       done = std::move(done)]() mutable { self->begin(std::move(reason), std::move(selected), std::move(done)); });
}

void MicSampler::begin(std::string reason, std::optional<std::string> selectedDeviceId,
                       std::function<void(RunningMicsSampleDiagnostic)> done) {
  startTime_ = executor_.clock().now();
  log("Starting running mics sample: reason=" + reason);
  report_.reason = std::move(reason);
  report_.selectedDeviceId = std::move(selectedDeviceId);
  done_ = std::move(done);

  const auto devices = audio_->discoverDevices();
  for (const auto& device : devices)
    if (isCaptureDeviceRunning(*audio_, device.uniqueID)) pending_.push_back(device);
  log("Found " + std::to_string(pending_.size()) + " running devices out of " + std::to_string(devices.size()) +
      " total");
  if (maxConcurrent_ < 1) pending_.clear();
  const int first =
      static_cast<int>(std::min<size_t>(static_cast<size_t>(std::max(maxConcurrent_, 0)), pending_.size()));
  for (int i = 0; i < first; ++i) startNext();
  if (inFlight_ == 0) finished({});
}

void MicSampler::startNext() {
  const CaptureDevice device = pending_[nextDevice_++];
  ++inFlight_;
  sampleSingleMic(device, [this, self = shared_from_this()](MicSampleResult result) { finished(std::move(result)); });
}

void MicSampler::finished(MicSampleResult result) {
  if (inFlight_ > 0) {
    --inFlight_;
    report_.samples.push_back(std::move(result));
    if (nextDevice_ < pending_.size()) startNext();
  }
  if (inFlight_ > 0 || !done_) return;
  {
    std::lock_guard lock(mutex_);
    if (cancelled_) return;
  }
  std::stable_sort(report_.samples.begin(), report_.samples.end(),
                   [](const MicSampleResult& a, const MicSampleResult& b) { return a.rms > b.rms; });
  report_.totalDurationMs = millisecondsSince(executor_, startTime_);
  log("Completed sampling " + std::to_string(report_.samples.size()) + " mics in " +
      std::to_string(report_.totalDurationMs) + "ms");
  std::exchange(done_, nullptr)(std::move(report_));
}

void MicSampler::sampleSingleMic(const CaptureDevice& device, std::function<void(MicSampleResult)> done) {
  const double start = executor_.clock().now();
  log("Sampling device: " + device.localizedName + " (" + device.uniqueID + ")");
  auto sampler = SingleMicSampler::make(executor_, audio_, device, sampleDurationMs_, queue_);
  {
    std::lock_guard lock(mutex_);
    if (cancelled_) return;
    active_.push_back(sampler);
  }
  MicSampleResult identity;
  identity.id = device.uniqueID;
  identity.name = prefixCharacters(device.localizedName, kNameLength);
  sampler->sample([this, self = shared_from_this(), sampler, start, identity = std::move(identity),
                   done = std::move(done)](Result<SingleMicSampler::Measurement, std::string> outcome) mutable {
    {
      std::lock_guard lock(mutex_);
      std::erase(active_, sampler);
    }
    MicSampleResult result = std::move(identity);
    result.sampleDurationMs = millisecondsSince(executor_, start);
    if (auto* m = std::get_if<SingleMicSampler::Measurement>(&outcome)) {
      result.rms = m->rms;
      result.peakRms = m->peakRms;
      result.framesCaptured = m->frameCount;
    } else {
      result.error = prefixCharacters(std::get<std::string>(outcome), kErrorLength);
    }
    done(std::move(result));
  });
}

void MicSampler::cancel() {
  std::vector<std::shared_ptr<SingleMicSampler>> active;
  {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    active.swap(active_);
  }
  for (auto& sampler : active) sampler->cancel();
}

}  // namespace qb
