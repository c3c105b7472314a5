// The connection to the real test server: rebuilt after the server dies, and no wait
// outlives its timeout even when the server stops answering.

#include <signal.h>

#include <atomic>
#include <chrono>

#include "PulseTestEnv.hpp"
#include "platform/linux/pulse/PulseConnection.hpp"
#include "platform/linux/pulse/PulseIntrospection.hpp"

namespace qb::pulse {
namespace {

using namespace qb::testenv;

struct Observer : PulseConnectionObserver {
  std::atomic<int> ready{0}, lost{0}, events{0};
  void connectionReady(pa_context*, bool) override { ++ready; }
  void connectionLost() override { ++lost; }
  void serverEvent(pa_subscription_event_type_t, uint32_t) override { ++events; }
};

double secondsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

TEST(PulseConnection, BuildsANewContextWhenTheServerComesBack) {
  QB_REQUIRE_TEST_SERVER();
  PulseConnection conn;
  Observer obs;
  PulseConnection::Registration reg;
  {
    PulseMainLoop::Lock lock(conn.loop());
    ASSERT_TRUE(conn.waitReady(5));
    reg = conn.addObserver(&obs);
    EXPECT_EQ(conn.generation(), 1u);
  }
  ASSERT_TRUE(testEnv("restart-pulse 0.5"));
  ASSERT_TRUE(waitUntil([&] { return obs.lost.load() == 1 && obs.ready.load() == 1; }, 15))
      << "lost=" << obs.lost << " ready=" << obs.ready;
  PulseMainLoop::Lock lock(conn.loop());
  EXPECT_EQ(conn.generation(), 2u);
  // The new context answers and carries server events again.
  auto info = readServerInfo(conn);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->defaultSourceName, "mic1");
  const int before = obs.events;
  ASSERT_TRUE(pactl("set-default-source mic1"));  // a server event even without a change
  ASSERT_TRUE(pactl("set-default-source mic2"));
  ASSERT_TRUE(pactl("set-default-source mic1"));
  EXPECT_TRUE(conn.loop().waitUntil([&] { return obs.events.load() > before; }, 5));
}

TEST(PulseConnection, WaitsEndAtTheirTimeoutWhenTheServerStopsAnswering) {
  QB_REQUIRE_TEST_SERVER();
  auto pid = serverPid();
  ASSERT_TRUE(pid);
  PulseConnection conn;
  {
    PulseMainLoop::Lock lock(conn.loop());
    ASSERT_TRUE(conn.waitReady(5));
  }
  // A frozen server keeps the socket open and never answers: only a timeout ends a wait.
  ASSERT_EQ(::kill(*pid, SIGSTOP), 0);
  auto start = std::chrono::steady_clock::now();
  std::optional<std::vector<SourceInfo>> sources;
  {
    PulseMainLoop::Lock lock(conn.loop());
    sources = readSources(conn, SyncRead{1.0, 0.5});
  }
  const double waited = secondsSince(start);
  ::kill(*pid, SIGCONT);
  EXPECT_FALSE(sources);
  EXPECT_GE(waited, 0.45);
  EXPECT_LT(waited, 2.0);
  // Afterwards the connection still works (the cancelled read left nothing behind).
  PulseMainLoop::Lock lock(conn.loop());
  EXPECT_TRUE(readSources(conn));
}

TEST(PulseConnection, WaitsFailFastWhileTheServerIsGoneAndRecoverAfter) {
  QB_REQUIRE_TEST_SERVER();
  PulseConnection conn;
  {
    PulseMainLoop::Lock lock(conn.loop());
    ASSERT_TRUE(conn.waitReady(5));
  }
  ASSERT_TRUE(testEnv("kill-pulse"));
  auto start = std::chrono::steady_clock::now();
  std::optional<ServerInfo> info;
  {
    PulseMainLoop::Lock lock(conn.loop());
    info = readServerInfo(conn, SyncRead{0.5, 0.5});
  }
  const double waited = secondsSince(start);
  const bool restarted = testEnv("start-pulse");
  EXPECT_FALSE(info);
  EXPECT_LT(waited, 1.5);
  ASSERT_TRUE(restarted);
  PulseMainLoop::Lock lock(conn.loop());
  // The capped backoff retries at most 2 s apart (a wait gives up while no attempt is under
  // way, so watch the connection itself).
  EXPECT_TRUE(conn.loop().waitUntil([&] { return conn.isReady(); }, 5));
}

}  // namespace
}  // namespace qb::pulse
