// The screen stream contract against the simulated backend, in virtual time.

#include "platform/contract/ScreenStreamContract.hpp"
#include "platform/sim/SimPlatform.hpp"
#include "runtime/ManualExecutor.hpp"

namespace qb::contract {

namespace {

class SimScreenStreamDriver final : public ScreenStreamDriver {
 public:
  SimScreenStreamDriver() : sim_(executor_) {
    screen().addDisplay(DisplayInfo{1, 1920, 1080});
    screen().setContentMoving(false);
  }

  Executor& executor() override { return executor_; }
  ScreenCaptureService& service() override { return screen(); }
  uint32_t firstDisplay() override { return 1; }

  void paintDisplay(uint32_t rgb) override { screen().paint(ContentFilter::forDisplay(1), 0xFF000000u | rgb); }
  uint32_t makeWindow(int x, int y, int width, int height, uint32_t rgb) override {
    const uint32_t id = nextWindow_++;
    WindowInfo w;
    w.windowID = id;
    w.frame = Rect{double(x), double(y), double(width), double(height)};
    screen().addWindow(w);
    paintWindow(id, rgb);
    return id;
  }
  void paintWindow(uint32_t id, uint32_t rgb) override {
    screen().paint(ContentFilter::forWindow(id), 0xFF000000u | rgb);
  }
  void resizeWindow(uint32_t id, int width, int height) override { screen().resizeWindow(id, width, height); }
  void setWindowMapped(uint32_t id, bool mapped) override { screen().setWindowMapped(id, mapped); }
  void destroyWindow(uint32_t id) override { screen().removeWindow(id); }
  std::optional<uint32_t> addDisplay() override {
    screen().addDisplay(DisplayInfo{2, 640, 360});
    return 2;
  }
  void removeDisplay(uint32_t id) override { screen().removeDisplay(id); }
  void loseServer() override { screen().loseDisplayServer(); }

  bool waitUntil(const std::function<bool()>& pred, double seconds) override {
    return executor_.runUntil(pred, seconds, 0.005);
  }

 private:
  SimScreenCaptureService& screen() { return sim_.screen(); }

  ManualExecutor executor_;
  SimPlatform sim_;
  uint32_t nextWindow_ = 100;
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Sim, ScreenStreamContract, ::testing::Types<SimScreenStreamDriver>);

}  // namespace qb::contract
