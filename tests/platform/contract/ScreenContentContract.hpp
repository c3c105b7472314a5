#pragma once
// What every ScreenCaptureService backend must show of the displays and windows it offers,
// written once and run against each backend through a driver that acts on its display.
//
// The environment: one display of screenSize() (the primary one), to which the driver can
// add monitors, and windows the driver opens with a title, a place and an application.
//
// To run the suite for a backend, write a default-constructible driver deriving from
// ScreenContentDriver, then, inside namespace qb::contract:
//   INSTANTIATE_TYPED_TEST_SUITE_P(MyBackend, ScreenContentContract, ::testing::Types<MyDriver>);
// A driver whose environment is missing says so through unavailableReason(); the suite skips.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "platform/ScreenCaptureService.hpp"
#include "runtime/Executor.hpp"

namespace qb::contract {

struct ContractWindow {
  std::string title;
  int x = 0, y = 0, width = 0, height = 0;
  std::string application;  // the application's name as the backend reports it
};

class ScreenContentDriver {
 public:
  virtual ~ScreenContentDriver() = default;
  virtual std::optional<std::string> unavailableReason() { return std::nullopt; }

  virtual Executor& executor() = 0;
  virtual ScreenCaptureService& service() = 0;
  virtual std::pair<int, int> screenSize() = 0;

  // A monitor named `name` (not primary); each returns once the change was made.
  virtual void addMonitor(const std::string& name, int x, int y, int width, int height) = 0;
  virtual void removeMonitor(const std::string& name) = 0;
  // Gives an added monitor another size, in place.
  virtual void resizeMonitor(const std::string& name, int width, int height) = 0;

  // Opens a window and returns its id once it is shown (0: it could not be opened). The
  // window manager, if any, may move it a little (decorations) but keeps its size.
  virtual uint32_t openWindow(const ContractWindow& window) = 0;
  // Takes a window off the screen as a user would (minimised, or unmapped where nothing
  // can minimise); it may then be left out of the full list or listed as not on screen.
  virtual void hideWindow(uint32_t id) = 0;
  // Gives an open window another title, place and size, as its application would.
  virtual void changeWindow(uint32_t id, const ContractWindow& window) = 0;
  virtual void showWindow(uint32_t id) = 0;
  virtual void closeWindow(uint32_t id) = 0;

  // Lets the backend work until pred() holds or `seconds` passed; false on timeout.
  virtual bool waitUntil(const std::function<bool()>& pred, double seconds) = 0;
  // False where no client may see other clients' windows (Wayland).
  virtual bool listsWindows() { return true; }
  // False where monitors cannot be added and removed again (a compositor that keeps them).
  virtual bool canAddMonitors() { return true; }
};

template <class Driver>
class ScreenContentContract : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto why = driver_.unavailableReason()) GTEST_SKIP() << *why;
  }

  ShareableContent content(bool onScreenWindowsOnly = true) {
    Completion<Result<ShareableContent>> done;
    driver_.service().shareableContent(false, onScreenWindowsOnly,
                                       [done](Result<ShareableContent> r) { done.complete(std::move(r)); });
    auto r = done.waitFor(driver_.executor(), 10);
    EXPECT_TRUE(r) << "no answer within 10 s";
    if (!r) return {};
    EXPECT_TRUE(std::holds_alternative<ShareableContent>(*r));
    if (!std::holds_alternative<ShareableContent>(*r)) return {};
    return std::get<ShareableContent>(*r);
  }

  static const WindowInfo* find(const ShareableContent& c, uint32_t id) {
    auto it = std::find_if(c.windows.begin(), c.windows.end(), [&](const WindowInfo& w) { return w.windowID == id; });
    return it == c.windows.end() ? nullptr : &*it;
  }
  static std::vector<uint32_t> displayIDs(const ShareableContent& c) {
    std::vector<uint32_t> ids;
    for (auto& d : c.displays) ids.push_back(d.displayID);
    return ids;
  }

  // Waits until the listing satisfies pred; the last listing seen.
  ShareableContent waitForContent(const std::function<bool(const ShareableContent&)>& pred,
                                  bool onScreenWindowsOnly = true) {
    ShareableContent last;
    driver_.waitUntil(
        [&] {
          last = content(onScreenWindowsOnly);
          return pred(last);
        },
        10);
    return last;
  }

  Driver driver_;
};

TYPED_TEST_SUITE_P(ScreenContentContract);

TYPED_TEST_P(ScreenContentContract, DisplaysComePrimaryFirstWithStableIdsAsMonitorsComeGoAndResize) {
  const auto [width, height] = this->driver_.screenSize();
  const ShareableContent first = this->content();
  ASSERT_FALSE(first.displays.empty());
  EXPECT_EQ(first.displays[0].width, width);
  EXPECT_EQ(first.displays[0].height, height);
  const auto ids = this->displayIDs(first);
  EXPECT_EQ(std::set<uint32_t>(ids.begin(), ids.end()).size(), ids.size()) << "display ids are unique";
  EXPECT_EQ(std::count(ids.begin(), ids.end(), 0u), 0) << "0 means no display";
  EXPECT_EQ(this->displayIDs(this->content()), ids) << "the same displays keep their ids";
  if (!this->driver_.canAddMonitors()) return;

  this->driver_.addMonitor("qb-second", 1000, 400, 800, 600);
  const ShareableContent two = this->waitForContent([&](auto& c) { return c.displays.size() == ids.size() + 1; });
  ASSERT_EQ(two.displays.size(), ids.size() + 1);
  EXPECT_EQ(two.displays[0].displayID, ids[0]) << "the primary display stays first, with its id";
  const auto twoIds = this->displayIDs(two);
  for (uint32_t id : ids) EXPECT_EQ(std::count(twoIds.begin(), twoIds.end(), id), 1);
  auto added = std::find_if(two.displays.begin(), two.displays.end(), [&](const DisplayInfo& d) {
    return std::find(ids.begin(), ids.end(), d.displayID) == ids.end();
  });
  ASSERT_NE(added, two.displays.end());
  EXPECT_NE(added->displayID, 0u);
  EXPECT_EQ(added->width, 800);
  EXPECT_EQ(added->height, 600);
  EXPECT_EQ(this->displayIDs(this->content()), twoIds);

  const uint32_t addedID = added->displayID;
  this->driver_.resizeMonitor("qb-second", 640, 480);
  const ShareableContent resized = this->waitForContent([&](auto& c) {
    return std::any_of(c.displays.begin(), c.displays.end(), [&](auto& d) { return d.width == 640; });
  });
  auto same = std::find_if(resized.displays.begin(), resized.displays.end(),
                           [&](const DisplayInfo& d) { return d.displayID == addedID; });
  ASSERT_NE(same, resized.displays.end()) << "a resized monitor keeps its id";
  EXPECT_EQ(same->width, 640);
  EXPECT_EQ(same->height, 480);
  EXPECT_EQ(resized.displays.size(), twoIds.size());

  this->driver_.removeMonitor("qb-second");
  const ShareableContent back = this->waitForContent([&](auto& c) { return c.displays.size() == ids.size(); });
  EXPECT_EQ(this->displayIDs(back), ids) << "removing a monitor leaves the others' ids alone";
}

TYPED_TEST_P(ScreenContentContract, WindowsCarryTheirTitleFrameAndApplication) {
  if (!this->driver_.listsWindows()) GTEST_SKIP() << "this backend lists no windows";
  const uint32_t id = this->driver_.openWindow({"Contract Window", 200, 150, 420, 310, "QbContract"});
  ASSERT_NE(id, 0u);
  const ShareableContent c = this->waitForContent([&](auto& c) { return this->find(c, id) != nullptr; });
  const WindowInfo* w = this->find(c, id);
  ASSERT_NE(w, nullptr) << "the window is listed";
  EXPECT_EQ(w->title, "Contract Window");
  EXPECT_EQ(w->frame.width, 420);
  EXPECT_EQ(w->frame.height, 310);
  // A window manager's frame may shift the window by its decorations.
  EXPECT_GE(w->frame.x, 200);
  EXPECT_LT(w->frame.x, 240);
  EXPECT_GE(w->frame.y, 150);
  EXPECT_LT(w->frame.y, 200);
  EXPECT_TRUE(w->isOnScreen);
  ASSERT_TRUE(w->owningApplication);
  EXPECT_EQ(w->owningApplication->applicationName, "QbContract");
  EXPECT_FALSE(w->owningApplication->bundleIdentifier.empty());

  // The listing shows the window as it is now, not as it was first seen.
  this->driver_.changeWindow(id, {"Renamed ✓", 500, 400, 360, 240, "QbContract"});
  const ShareableContent changed = this->waitForContent([&](auto& c) {
    const WindowInfo* now = this->find(c, id);
    return now && now->title == "Renamed ✓" && now->frame.width == 360 && now->frame.x >= 500;
  });
  w = this->find(changed, id);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->title, "Renamed ✓");
  EXPECT_EQ(w->frame.width, 360);
  EXPECT_EQ(w->frame.height, 240);
  EXPECT_GE(w->frame.x, 500);
  EXPECT_LT(w->frame.x, 540);
  EXPECT_GE(w->frame.y, 400);
  EXPECT_LT(w->frame.y, 450);

  this->driver_.closeWindow(id);
  const ShareableContent gone = this->waitForContent([&](auto& c) { return this->find(c, id) == nullptr; }, false);
  EXPECT_EQ(this->find(gone, id), nullptr) << "a closed window is not listed";
}

TYPED_TEST_P(ScreenContentContract, OnScreenOnlyLeavesOutHiddenWindowsButNotCoveredOnes) {
  if (!this->driver_.listsWindows()) GTEST_SKIP() << "this backend lists no windows";
  const uint32_t below = this->driver_.openWindow({"Covered", 300, 300, 300, 200, "QbContract"});
  const uint32_t above = this->driver_.openWindow({"Covering", 250, 250, 500, 400, "QbContract"});
  const uint32_t hidden = this->driver_.openWindow({"Hidden", 900, 300, 300, 200, "QbContract"});
  ASSERT_TRUE(below && above && hidden);
  this->driver_.hideWindow(hidden);

  const ShareableContent c =
      this->waitForContent([&](auto& c) { return !this->find(c, hidden) && this->find(c, below); });
  EXPECT_EQ(this->find(c, hidden), nullptr) << "a hidden window is not on screen";
  ASSERT_NE(this->find(c, below), nullptr) << "a covered window is still on screen";
  EXPECT_TRUE(this->find(c, below)->isOnScreen);
  ASSERT_NE(this->find(c, above), nullptr);

  const ShareableContent all = this->content(false);
  ASSERT_NE(this->find(all, below), nullptr);
  if (const WindowInfo* h = this->find(all, hidden)) {
    EXPECT_FALSE(h->isOnScreen);
  }

  this->driver_.showWindow(hidden);
  const ShareableContent shown = this->waitForContent([&](auto& c) { return this->find(c, hidden) != nullptr; });
  ASSERT_NE(this->find(shown, hidden), nullptr) << "shown again, it is listed again";
  EXPECT_TRUE(this->find(shown, hidden)->isOnScreen);
}

REGISTER_TYPED_TEST_SUITE_P(ScreenContentContract, DisplaysComePrimaryFirstWithStableIdsAsMonitorsComeGoAndResize,
                            WindowsCarryTheirTitleFrameAndApplication,
                            OnScreenOnlyLeavesOutHiddenWindowsButNotCoveredOnes);

}  // namespace qb::contract
