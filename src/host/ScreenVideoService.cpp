#include "host/ScreenVideoService.hpp"

#include "screen/ScreenVideoSource.hpp"

namespace qb {

namespace {

class ScreenVideoService final : public VideoSource {
 public:
  explicit ScreenVideoService(std::shared_ptr<ScreenVideoSource> source) : source_(std::move(source)) {}
  std::optional<std::string> start(const std::string& targetType, uint32_t targetID) override {
    return described(source_->start(targetType, targetID));
  }
  std::optional<std::string> switchTarget(const std::string& targetType, uint32_t targetID) override {
    return described(source_->switchTarget(targetType, targetID));
  }
  void stop() override { source_->stop(); }
  bool isActive() const override { return source_->isActive(); }

 private:
  static std::optional<std::string> described(const std::optional<ScreenVideoError>& error) {
    if (!error) return std::nullopt;
    return describe(*error);
  }
  std::shared_ptr<ScreenVideoSource> source_;
};

}  // namespace

std::function<std::shared_ptr<VideoSource>(const VideoSettings&)> screenVideoSourceFactory(Platform platform) {
  return [platform](const VideoSettings& s) -> std::shared_ptr<VideoSource> {
    return std::make_shared<ScreenVideoService>(ScreenVideoSource::make(platform, s.width, s.height, s.fps, s.bitrate));
  };
}

}  // namespace qb
