#include "sources/AttemptBudget.hpp"

#include <gtest/gtest.h>

#include "sources/SystemAudioSource.hpp"

using namespace qb;

TEST(AttemptBudget, CountsPerWindowAndReopensOnlyAfterTheWindowHasPassed) {
  AttemptBudget budget = SystemAudioSource::normalRecoveryBudget;  // 3 per 300 s
  budget.reset(1000);
  EXPECT_TRUE(budget.take(1000));
  EXPECT_TRUE(budget.take(1100));
  EXPECT_TRUE(budget.take(1200));
  EXPECT_FALSE(budget.take(1250));
  EXPECT_FALSE(budget.take(1300));  // exactly one window later: still the same window
  EXPECT_EQ(budget.used(), 3);
  EXPECT_TRUE(budget.take(1300.5));  // a new window opens at this attempt
  EXPECT_EQ(budget.used(), 1);
  EXPECT_TRUE(budget.take(1600));
  EXPECT_TRUE(budget.take(1600));
  EXPECT_FALSE(budget.take(1600.5));  // the window opened at 1300.5
}

TEST(AttemptBudget, GivenBackAttemptsCountNoMoreAndResetStartsOver) {
  AttemptBudget budget = SystemAudioSource::contentionRecoveryBudget;  // 15 per 60 s
  budget.giveBack();                                                   // nothing taken: stays at zero
  EXPECT_EQ(budget.used(), 0);
  for (int i = 0; i < 15; ++i) EXPECT_TRUE(budget.take(i * 0.2));
  EXPECT_FALSE(budget.take(3));
  EXPECT_EQ(budget.used(), 15);  // a refusal takes nothing
  budget.giveBack();
  EXPECT_TRUE(budget.take(3));
  EXPECT_FALSE(budget.take(3));
  budget.reset(10);
  EXPECT_EQ(budget.used(), 0);
  EXPECT_TRUE(budget.take(10));
}
