#include "runtime/deadline.h"

#include <gtest/gtest.h>

#include <limits>

namespace pelvaro {
namespace {

using namespace std::chrono_literals;

TEST(MillisecondsLeft, RoundsUpSoThatNoWaitEndsBeforeItsDeadlineAndStopsAtZeroAndAtIntMax) {
  const std::chrono::steady_clock::time_point now{100h};
  EXPECT_EQ(milliseconds_left(now - 1ns, now), 0);
  EXPECT_EQ(milliseconds_left(now - 5s, now), 0);
  EXPECT_EQ(milliseconds_left(now, now), 0);
  EXPECT_EQ(milliseconds_left(now + 1ns, now), 1);
  EXPECT_EQ(milliseconds_left(now + 999us, now), 1);
  EXPECT_EQ(milliseconds_left(now + 1ms, now), 1);
  EXPECT_EQ(milliseconds_left(now + 1001us, now), 2);
  EXPECT_EQ(milliseconds_left(now + 2500ms, now), 2500);
  EXPECT_EQ(milliseconds_left(now + 24h * 365, now), std::numeric_limits<int>::max());
  EXPECT_EQ(milliseconds_left(std::chrono::steady_clock::time_point::max(), now),
            std::numeric_limits<int>::max());
}

}  // namespace
}  // namespace pelvaro
