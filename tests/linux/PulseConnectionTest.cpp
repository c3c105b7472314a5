// The connection to the real test server: no wait outlives its timeout, even when the server
// stops answering, and a new context follows a restart. That its events and answers come
// again after one is the audio contract's restart case.

#include <signal.h>

#include <chrono>

#include "PulseTestEnv.hpp"
#include "platform/linux/pulse/PulseConnection.hpp"
#include "platform/linux/pulse/PulseIntrospection.hpp"

namespace qb::pulse {
namespace {

using namespace qb::testenv;

double secondsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
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
