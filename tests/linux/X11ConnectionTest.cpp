// The X connection: extensions, atoms and events. A server that goes away is the screen
// contracts' case (every stream of the service hears of it once).

#include "platform/linux/x11/X11Connection.hpp"

#include <atomic>
#include <mutex>

#include "PulseTestEnv.hpp"

namespace qb::x11 {
namespace {

using testenv::envOr;

TEST(X11Connection, OffersTheExtensionsAndDispatchesEvents) {
  if (envOr("DISPLAY").empty()) GTEST_SKIP() << "no test display: run eval \"$(scripts/test-env start)\" first";
  auto x = X11Connection::open();
  ASSERT_TRUE(x);
  const X11Extensions& ext = x->extensions();
  EXPECT_TRUE(ext.shm.present && ext.damage.present && ext.xfixes.present && ext.composite.present &&
              ext.randr.present);
  EXPECT_TRUE(ext.monitors());
  EXPECT_EQ(x->root(), x->screen().root);

  auto hiding = X11Connection::open({}, nullptr, {"MIT-SHM", "Composite"});
  ASSERT_TRUE(hiding);
  EXPECT_FALSE(hiding->extensions().shm.present);
  EXPECT_FALSE(hiding->extensions().composite.present);
  EXPECT_TRUE(hiding->extensions().damage.present);

  const xcb_atom_t a = x->atom("_NET_WM_NAME");
  EXPECT_NE(a, XCB_ATOM_NONE);
  EXPECT_EQ(x->atom("_NET_WM_NAME"), a);
  EXPECT_EQ(hiding->atom("_NET_WM_NAME"), a) << "atoms are the server's, not the connection's";

  // A window of our own, mapped: its MapNotify reaches the subscriber on the event thread.
  std::atomic<int> maps{0};
  const xcb_window_t w = xcb_generate_id(x->xcb());
  auto sub = x->subscribe(
      [&](const xcb_generic_event_t& e) {
        if (X11Connection::eventType(e) == XCB_MAP_NOTIFY &&
            reinterpret_cast<const xcb_map_notify_event_t&>(e).window == w)
          ++maps;
      },
      [] {});
  const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_create_window(x->xcb(), XCB_COPY_FROM_PARENT, w, x->root(), 0, 0, 10, 10, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
  xcb_map_window(x->xcb(), w);
  xcb_flush(x->xcb());
  EXPECT_TRUE(testenv::waitUntil([&] { return maps == 1; }, 5));

  // After unsubscribing nothing more arrives.
  sub.reset();
  xcb_unmap_window(x->xcb(), w);
  xcb_map_window(x->xcb(), w);
  xcb_destroy_window(x->xcb(), w);
  free(xcb_get_input_focus_reply(x->xcb(), xcb_get_input_focus(x->xcb()), nullptr));
  EXPECT_EQ(maps, 1);
  EXPECT_FALSE(x->isLost());
}

}  // namespace
}  // namespace qb::x11
