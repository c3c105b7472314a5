// Damage-driven pacing: pictures on change only, never closer than the interval, a
// change inside the interval taken at its end, the first picture at once.

#include "platform/FramePacer.hpp"

#include <gtest/gtest.h>

namespace qb {
namespace {

TEST(FramePacer, FirstPictureAtOnceThenOnlyChangesAtMostOncePerInterval) {
  FramePacer p(0.1);
  EXPECT_FALSE(p.due()) << "nothing before start";
  p.start();
  EXPECT_TRUE(p.isDue(5.0)) << "the first picture comes even without a change";
  p.taken(5.0);
  EXPECT_FALSE(p.due()) << "a still screen yields nothing more";

  p.changed();  // inside the interval: taken at its end, not lost
  EXPECT_FALSE(p.isDue(5.05));
  EXPECT_DOUBLE_EQ(*p.due(), 5.1);
  p.changed();  // more changes in the same interval make one picture
  p.taken(5.1);
  EXPECT_FALSE(p.due());

  p.changed();  // after a quiet spell: at once
  EXPECT_TRUE(p.isDue(7.0));

  p.start();  // a restart forgets the interval
  EXPECT_TRUE(p.isDue(7.0));
  p.clear();
  EXPECT_FALSE(p.due());
}

TEST(FramePacer, ASkippedPictureStaysPendingAndIsRetriedLater) {
  FramePacer p(0.1);
  p.start();
  p.skipped(1.0);
  EXPECT_TRUE(p.pending());
  EXPECT_FALSE(p.isDue(1.05));
  EXPECT_TRUE(p.isDue(1.1));
  p.taken(1.1);
  EXPECT_FALSE(p.due());

  FramePacer noInterval(0);
  noInterval.start();
  noInterval.skipped(2.0);
  EXPECT_DOUBLE_EQ(*noInterval.due(), 2.0 + FramePacer::kMinRetry) << "no busy retry without an interval";
}

}  // namespace
}  // namespace qb
