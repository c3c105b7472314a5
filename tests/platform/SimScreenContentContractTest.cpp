// The screen content contract, run against the simulated backend in virtual time.

#include <map>

#include "platform/contract/ScreenContentContract.hpp"
#include "platform/sim/SimPlatform.hpp"
#include "runtime/ManualExecutor.hpp"

namespace qb::contract {

namespace {

class SimScreenContentDriver final : public ScreenContentDriver {
 public:
  SimScreenContentDriver() : sim_(executor_) { sim_.screen().setDisplays({DisplayInfo{7, 1920, 1080}}); }

  Executor& executor() override { return executor_; }
  ScreenCaptureService& service() override { return sim_.screen(); }
  std::pair<int, int> screenSize() override { return {1920, 1080}; }

  void addMonitor(const std::string& name, int, int, int width, int height) override {
    monitors_[name] = nextId_;
    sim_.screen().addDisplay(DisplayInfo{nextId_++, width, height});
  }
  void removeMonitor(const std::string& name) override { sim_.screen().removeDisplay(monitors_.at(name)); }
  void resizeMonitor(const std::string& name, int width, int height) override {
    const uint32_t id = monitors_.at(name);
    sim_.screen().removeDisplay(id, false);
    sim_.screen().addDisplay(DisplayInfo{id, width, height});
  }

  uint32_t openWindow(const ContractWindow& w) override {
    WindowInfo info;
    info.windowID = nextId_++;
    info.title = w.title;
    info.frame = Rect{double(w.x), double(w.y), double(w.width), double(w.height)};
    info.owningApplication = RunningApplication{w.application, "org.example." + w.application, 4242};
    windows_[info.windowID] = info;
    sim_.screen().addWindow(info);
    return info.windowID;
  }
  void hideWindow(uint32_t id) override { setOnScreen(id, false); }
  void showWindow(uint32_t id) override { setOnScreen(id, true); }
  void changeWindow(uint32_t id, const ContractWindow& w) override {
    WindowInfo& info = windows_.at(id);
    info.title = w.title;
    info.frame = Rect{double(w.x), double(w.y), double(w.width), double(w.height)};
    sim_.screen().removeWindow(id, false);
    sim_.screen().addWindow(info);
  }
  void closeWindow(uint32_t id) override { sim_.screen().removeWindow(id); }

  bool waitUntil(const std::function<bool()>& pred, double seconds) override {
    return executor_.runUntil(pred, seconds, 0.05);
  }

 private:
  void setOnScreen(uint32_t id, bool on) {
    windows_.at(id).isOnScreen = on;
    sim_.screen().removeWindow(id, false);
    sim_.screen().addWindow(windows_.at(id));
  }

  ManualExecutor executor_;
  SimPlatform sim_;
  uint32_t nextId_ = 100;
  std::map<std::string, uint32_t> monitors_;
  std::map<uint32_t, WindowInfo> windows_;
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Sim, ScreenContentContract, ::testing::Types<SimScreenContentDriver>);

}  // namespace qb::contract
