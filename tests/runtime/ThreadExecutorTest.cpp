#include "runtime/ThreadExecutor.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace qb;

// These use real threads; waits have generous bounds and only the tiny delays under
// test are real time.

TEST(ThreadExecutor, SerialQueueRunsInOrderOnOneThreadAtATime) {
  ThreadExecutor ex;
  auto q = ex.makeQueue("serial");
  std::vector<int> order;
  std::atomic<int> inside{0};
  bool overlapped = false;
  for (int i = 0; i < 200; ++i)
    q->async([&, i] {
      if (inside.fetch_add(1) != 0) overlapped = true;
      EXPECT_TRUE(q->isCurrent());
      order.push_back(i);
      inside.fetch_sub(1);
    });
  q->sync([] {});
  EXPECT_FALSE(q->isCurrent());
  EXPECT_FALSE(overlapped);
  ASSERT_EQ(order.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(order[i], i);
}

TEST(ThreadExecutor, SyncOntoItselfIsRefusedNotDeadlocked) {
  ThreadExecutor ex;
  auto q = ex.makeQueue("self");
  std::atomic<bool> threw{false};
  q->sync([&] {
    try {
      q->sync([] {});
    } catch (const std::logic_error&) {
      threw = true;
    }
  });
  EXPECT_TRUE(threw);
}

TEST(ThreadExecutor, DelayedWorkInDueOrderAndCancellation) {
  ThreadExecutor ex;
  auto q = ex.makeQueue("delayed");
  std::mutex m;
  std::vector<std::string> order;
  auto add = [&](std::string s) {
    std::lock_guard lock(m);
    order.push_back(std::move(s));
  };
  Signal gate;
  q->async([&] { gate.waitBlocking(); });
  auto cancelled = q->asyncAfter(0, [&] { add("cancelled"); });
  q->asyncAfter(0.004, [&] { add("later"); });
  q->asyncAfter(0.002, [&] { add("sooner"); });
  cancelled.cancel();
  gate.notify();
  Signal done;
  q->asyncAfter(0.006, [&] { done.notify(); });
  ASSERT_TRUE(ex.waitFor(done, 5));
  std::lock_guard lock(m);
  EXPECT_EQ(order, (std::vector<std::string>{"sooner", "later"}));
}

TEST(ThreadExecutor, PoolRunsTasksConcurrently) {
  ThreadExecutor ex;
  // Two tasks that each wait for the other can only finish when they run in parallel.
  Signal first, second, bothDone;
  std::atomic<int> finished{0};
  ex.runAsync([&] {
    first.notify();
    if (second.waitBlockingFor(5) && ++finished == 2) bothDone.notify();
  });
  ex.runAsync([&] {
    second.notify();
    if (first.waitBlockingFor(5) && ++finished == 2) bothDone.notify();
  });
  EXPECT_TRUE(ex.waitFor(bothDone, 10));
  Completion<int> c;
  ex.runAsync([&] { c.complete(42); });
  EXPECT_EQ(c.wait(ex), 42);
}
