// The Wayland screen backend's decisions, without a bus, a compositor or PipeWire.

#include <gtest/gtest.h>

#include "platform/linux/ScreenBackend.hpp"
#include "platform/linux/pipewire/StreamPixels.hpp"
#include "platform/linux/portal/PortalDecisions.hpp"
#include "platform/linux/wayland/WaylandOutputs.hpp"

namespace qb {
namespace {

TEST(ScreenBackendChoice, AWaylandSessionIsNamedByItsDisplayOrItsType) {
  struct Case {
    const char* display;
    const char* type;
    ScreenSession want;
  };
  for (const Case& c : {Case{"wayland-0", nullptr, ScreenSession::wayland}, Case{"", "wayland", ScreenSession::wayland},
                        Case{nullptr, "wayland", ScreenSession::wayland}, Case{"", "x11", ScreenSession::x11},
                        Case{nullptr, "tty", ScreenSession::x11}, Case{nullptr, nullptr, ScreenSession::x11}}) {
    EXPECT_EQ(screenSessionOf(c.display, c.type), c.want)
        << (c.display ? c.display : "-") << " " << (c.type ? c.type : "-");
  }
}

TEST(PortalRequests, TheCursorIsDrawnInWherePossibleElseAsMetadata) {
  using namespace portal;
  struct Case {
    uint32_t available;
    bool shows;
    std::optional<uint32_t> want;
  };
  for (const Case& c : {Case{7, true, kCursorEmbedded}, Case{kCursorHidden | kCursorMetadata, true, kCursorMetadata},
                        Case{kCursorHidden, true, kCursorHidden}, Case{7, false, kCursorHidden},
                        Case{kCursorEmbedded, false, kCursorEmbedded}, Case{0, true, std::nullopt}}) {
    EXPECT_EQ(chooseCursorMode(c.available, c.shows), c.want) << c.available << " " << c.shows;
  }
}

TEST(PortalRequests, ResponsesAreGrantedCancelledOrRefused) {
  EXPECT_FALSE(portal::responseError(0, "x"));
  EXPECT_EQ(portal::responseError(1, "x")->code, portal::kUserDeclined);
  EXPECT_EQ(portal::responseError(2, "x")->code, StreamErrorCode::kFailed);
}

TEST(PortalRequests, OnlyLocalFileUrisArePaths) {
  EXPECT_EQ(portal::localPathOfUri("file:///tmp/shot%201.png"), "/tmp/shot 1.png");
  EXPECT_EQ(portal::localPathOfUri("file://localhost/a%2Fb"), "/a/b");
  for (const char* bad :
       {"http://x/a.png", "file://other/a.png", "file:///a%2", "file:///a%zz", "file:///a%00b", "/tmp/a"})
    EXPECT_FALSE(portal::localPathOfUri(bad)) << bad;
}

TEST(WaylandOutputIds, DependOnTheNameAloneAndAreNeverZero) {
  EXPECT_EQ(wayland::outputDisplayId("DP-1"), wayland::outputDisplayId(std::string("DP-") + "1"));
  EXPECT_NE(wayland::outputDisplayId("DP-1"), wayland::outputDisplayId("DP-2"));
  EXPECT_NE(wayland::outputDisplayId(""), 0u);
}

TEST(StreamDamage, AreasAreClippedCoveredOnesDroppedAndTooManyBecomeOne) {
  pipewire::DamageList d(3);
  d.add({-10, -10, 20, 20}, 100, 50);  // clipped to the picture
  d.add({2, 2, 4, 4}, 100, 50);        // inside the first
  d.add({200, 0, 5, 5}, 100, 50);      // outside the picture
  EXPECT_EQ(d.rects(), (std::vector<encode::PixelRect>{{0, 0, 10, 10}}));
  d.add({20, 0, 5, 5}, 100, 50);
  d.add({0, 40, 5, 5}, 100, 50);
  d.add({90, 20, 10, 10}, 100, 50);  // a fourth: all become their bounds
  EXPECT_EQ(d.rects(), (std::vector<encode::PixelRect>{{0, 0, 100, 45}}));
  // Seen through a crop: the part inside, moved to its corner.
  EXPECT_EQ(d.within({50, 10, 100, 100}), (std::vector<encode::PixelRect>{{0, 0, 50, 35}}));
}

TEST(StreamCursor, BitmapsOfEveryByteOrderBecomeArgbWords) {
  const uint8_t pixel[4] = {0x11, 0x22, 0x33, 0x44};
  using B = pipewire::CursorBytes;
  struct Case {
    B order;
    uint32_t want;
  };
  for (const Case& c :
       {Case{B::bgra, 0x44332211}, Case{B::rgba, 0x44112233}, Case{B::argb, 0x11223344}, Case{B::abgr, 0x11443322}}) {
    auto words = pipewire::cursorWords(c.order, pixel, 4, 1, 1, 4);
    ASSERT_EQ(words.size(), 1u);
    EXPECT_EQ(words[0], c.want) << int(c.order);
  }
  // Rows are read at the stride, and a bitmap larger than its buffer is refused.
  const uint8_t two[12] = {1, 0, 0, 0, 9, 9, 9, 9, 2, 0, 0, 0};
  EXPECT_EQ(pipewire::cursorWords(B::bgra, two, 12, 1, 2, 8), (std::vector<uint32_t>{1, 2}));
  EXPECT_TRUE(pipewire::cursorWords(B::bgra, two, 11, 1, 2, 8).empty());
  EXPECT_TRUE(pipewire::cursorWords(B::bgra, two, 12, 2, 2, 4).empty());
}

}  // namespace
}  // namespace qb
