// The X connection: extensions, atoms, events and a server that goes away.

#include "platform/linux/x11/X11Connection.hpp"

#include <atomic>
#include <mutex>

#include "PrivateXServer.hpp"
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

TEST(X11Connection, ReportsALostServerOnceToEverySubscriber) {
  testenv::PrivateXServer server;
  if (!server.ok()) GTEST_SKIP() << "cannot start Xvfb";
  std::string why;
  auto x = X11Connection::open(server.display(), &why);
  ASSERT_TRUE(x) << why;
  std::atomic<int> lostA{0}, lostB{0};
  auto a = x->subscribe([](const xcb_generic_event_t&) {}, [&] { ++lostA; });
  auto b = x->subscribe([](const xcb_generic_event_t&) {}, [&] { ++lostB; });
  EXPECT_FALSE(x->isLost());
  server.kill();
  ASSERT_TRUE(testenv::waitUntil([&] { return lostA == 1 && lostB == 1; }, 5));
  EXPECT_TRUE(x->isLost());
  EXPECT_EQ(x->atom("NOT_YET_INTERNED"), static_cast<xcb_atom_t>(XCB_ATOM_NONE));
  EXPECT_EQ(lostA, 1);

  EXPECT_FALSE(X11Connection::open(server.display(), &why));
  EXPECT_FALSE(why.empty());
}

}  // namespace
}  // namespace qb::x11
