#include <gtest/gtest.h>
#include "platform/Clock.h"
TEST(Clock, VirtualClockMovesOnlyWhenAdvanced) {
  using namespace pelk::platform;
  const auto start = Clock::fromSecondsSince1970(1000);
  Clock::useVirtual(start);
  EXPECT_EQ(Clock::now(), start);
  Clock::advance(seconds(2.5));
  EXPECT_DOUBLE_EQ(Clock::secondsSince1970(Clock::now()), 1002.5);
  Clock::useSystem();
  EXPECT_GT(Clock::secondsSince1970(Clock::now()), 1.7e9);
}
