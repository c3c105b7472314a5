#include "runtime/ManualExecutor.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace qb;
using ::testing::ElementsAre;

namespace {

struct Trace {
  ManualExecutor& ex;
  std::vector<std::string> events;
  void add(const std::string& e) {
    char at[32];
    std::snprintf(at, sizeof at, "@%.2f ", ex.elapsed());
    events.push_back(at + e);
  }
};

}  // namespace

TEST(ManualExecutor, RunsDueWorkInTimeThenSubmissionOrder) {
  ManualExecutor ex;
  Trace t{ex, {}};
  auto a = ex.makeQueue("a");
  auto b = ex.makeQueue("b");
  a->asyncAfter(2, [&] { t.add("a2"); });
  b->async([&] { t.add("b0"); });
  ex.runAsyncAfter(1, [&] { t.add("pool1"); });
  a->async([&] { t.add("a0"); });
  b->asyncAfter(1, [&] { t.add("b1"); });
  ex.runUntilIdle();  // only what is due now
  EXPECT_THAT(t.events, ElementsAre("@0.00 b0", "@0.00 a0"));
  ex.advance(1.5);
  EXPECT_EQ(ex.elapsed(), 1.5);
  ex.advance(10);
  EXPECT_THAT(t.events, ElementsAre("@0.00 b0", "@0.00 a0", "@1.00 pool1", "@1.00 b1", "@2.00 a2"));
  EXPECT_EQ(ex.elapsed(), 11.5);
  EXPECT_EQ(ex.clock().now(), 1.8e9 + 11.5);
  EXPECT_EQ(ex.pendingCount(), 0u);
}

TEST(ManualExecutor, SerialQueueStaysExclusiveAcrossNestedWaits) {
  ManualExecutor ex;
  Trace t{ex, {}};
  auto a = ex.makeQueue("a");
  auto b = ex.makeQueue("b");
  Signal fromB;
  a->async([&] {
    t.add("a1 begins");
    EXPECT_TRUE(a->isCurrent());
    ex.wait(fromB);  // pumps other work, but never a's next item
    EXPECT_TRUE(a->isCurrent());
    t.add("a1 ends");
  });
  a->async([&] { t.add("a2"); });
  b->asyncAfter(3, [&] {
    EXPECT_FALSE(a->isCurrent());
    t.add("b sets");
    fromB.notify();
  });
  ex.runUntilIdle();
  EXPECT_THAT(t.events, ElementsAre("@0.00 a1 begins", "@3.00 b sets", "@3.00 a1 ends", "@3.00 a2"));
}

TEST(ManualExecutor, SyncFromAnotherQueue) {
  ManualExecutor ex;
  auto a = ex.makeQueue("a");
  auto b = ex.makeQueue("b");
  int value = 0;
  b->async([&] { a->sync([&] { value = 7; }); });
  ex.runUntilIdle();
  EXPECT_EQ(value, 7);
}

TEST(ManualExecutor, SyncOntoItselfIsRefused) {
  ManualExecutor ex;
  auto a = ex.makeQueue("a");
  bool threw = false;
  a->async([&] {
    try {
      a->sync([] {});
    } catch (const std::logic_error&) {
      threw = true;
    }
  });
  ex.runUntilIdle();
  EXPECT_TRUE(threw);
}

TEST(ManualExecutor, CompletionFirstValueWinsAndWaitAdvancesTime) {
  ManualExecutor ex;
  Completion<int> done;
  ex.runAsyncAfter(4, [&] {
    done.complete(1);
    done.complete(2);
  });
  EXPECT_EQ(done.wait(ex), 1);
  EXPECT_EQ(ex.elapsed(), 4);
  Completion<int> never;
  EXPECT_EQ(never.waitFor(ex, 2.5), std::nullopt);
  EXPECT_EQ(ex.elapsed(), 6.5);
  EXPECT_THROW(never.wait(ex), std::logic_error);  // nothing left that could complete it
}

TEST(ManualExecutor, DelayedRepeatingAndCancelledWork) {
  ManualExecutor ex;
  Trace t{ex, {}};
  auto q = ex.makeQueue("q");
  auto cancelled = q->asyncAfter(1, [&] { t.add("cancelled"); });
  cancelled.cancel();
  auto poolCancelled = ex.runAsyncAfter(1, [&] { t.add("pool cancelled"); });
  poolCancelled.cancel();
  TaskHandle repeating = scheduleRepeating(q, 0.5, 1.0, [&] { t.add("tick"); });
  ex.advance(2.6);
  repeating.cancel();
  ex.advance(10);
  EXPECT_THAT(t.events, ElementsAre("@0.50 tick", "@1.50 tick", "@2.50 tick"));

  // A repeating task can cancel itself from inside.
  int runs = 0;
  TaskHandle self;
  self = scheduleRepeating(q, 0, 0.1, [&] {
    if (++runs == 3) self.cancel();
  });
  ex.advance(5);
  EXPECT_EQ(runs, 3);
}

TEST(ManualExecutor, DroppedQueueDropsItsWork) {
  ManualExecutor ex;
  bool ran = false;
  {
    auto q = ex.makeQueue("gone");
    q->asyncAfter(1, [&] { ran = true; });
  }
  ex.advance(2);
  EXPECT_FALSE(ran);
  EXPECT_EQ(ex.pendingCount(), 0u);
}
