#include "platform/linux/encode/H264EncoderFactory.hpp"

#include <dlfcn.h>

#include <cerrno>
#include <filesystem>

#include "platform/linux/encode/HardwareDevices.hpp"
#include "platform/linux/encode/X264VideoEncoder.hpp"
#include "platform/linux/encode/libav/LibavVideoEncoder.hpp"

namespace qb::encode {

namespace {

bool settingsValid(const EncoderSettings& s) {
  return s.width >= 2 && s.height >= 2 && s.width <= 16384 && s.height <= 16384 && s.fps > 0 && s.fps <= 1000 &&
         s.bitrate > 0;
}

struct LibavModule {
  LibavOpenFunction open = nullptr;
  std::string failure;  // why `open` is null
};

// The libavcodec module next to the executable, loaded on first use and never unloaded
// (encoders made by it run its code).
const LibavModule& libavModule() {
  static const LibavModule module = [] {
    LibavModule m;
    std::error_code ec;
    const auto path = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path() / kLibavModuleFile;
    if (void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
      m.open = reinterpret_cast<LibavOpenFunction>(dlsym(handle, kLibavOpenSymbol));
      if (!m.open) m.failure = std::string(kLibavModuleFile) + " has no entry point";
    } else {
      const char* error = dlerror();
      m.failure = error ? error : "cannot load " + path.string();
    }
    return m;
  }();
  return module;
}

}  // namespace

H264EncoderFactory::H264EncoderFactory(LogFunction log, Options options) : log_(std::move(log)), options_(options) {}

std::variant<std::unique_ptr<VideoEncoder>, int32_t> H264EncoderFactory::create(const EncoderSettings& settings) {
  if (!settingsValid(settings)) return int32_t(-EINVAL);
  std::string refused;
  if (options_.tryHardware && (vaapiRenderNode() || nvencDevicePresent())) {
    const LibavModule& module = libavModule();
    if (module.open) {
      LibavOpenResult hardware;
      module.open(settings, false, hardware);
      refused += hardware.refused;
      if (hardware.encoder) {
        chose(hardware.codec, refused);
        return std::move(hardware.encoder);
      }
    } else {
      refused += ", hardware encoders unusable (" + module.failure + ")";
    }
  }
  auto made = openX264(settings);
  if (auto* encoder = std::get_if<std::unique_ptr<VideoEncoder>>(&made)) {
    chose("libx264", refused);
    return std::move(*encoder);
  }
  const int32_t status = std::get<int32_t>(made);
  if (log_)
    log_("H264 encoder: none usable" + refused + ", libx264 unusable (" +
         (status == -EINVAL ? "settings refused" : "encoding failed") + ")");
  return status;
}

void H264EncoderFactory::chose(const std::string& codec, const std::string& refused) {
  bool changed;
  {
    std::lock_guard lock(mutex_);
    changed = lastChoice_ != codec;
    lastChoice_ = codec;
  }
  if (changed && log_) log_("H264 encoder: " + codec + refused);
}

std::string H264EncoderFactory::lastChoice() const {
  std::lock_guard lock(mutex_);
  return lastChoice_;
}

}  // namespace qb::encode
