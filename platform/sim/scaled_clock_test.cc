#include "platform/sim/scaled_clock.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <ctime>

namespace platform {
namespace {

TEST(ScaledClockTest, AbsoluteTimeStartsAtTheRealTimeSince2001) {
  ScaledClock clock(1.0);
  double expected = static_cast<double>(std::time(nullptr)) - kAbsoluteTimeIntervalSince1970;
  EXPECT_NEAR(clock.AbsoluteTime(), expected, 2.0);
}

TEST(ScaledClockTest, ScaledSleepAdvancesMachineTimeByTheFullAmount) {
  ScaledClock clock(0.001);
  double before = clock.AbsoluteTime();
  clock.Sleep(2.0);  // 2 ms of real time
  EXPECT_GE(clock.AbsoluteTime() - before, 2.0);
  EXPECT_DOUBLE_EQ(clock.ToRealSeconds(10.0), 0.01);
}

TEST(ScaledClockTest, ScaleFromEnvironmentRefusesNonsense) {
  struct Case {
    const char* text;
    double expected;
  } cases[] = {{"0.01", 0.01}, {"1", 1.0}, {"0", 1.0}, {"-2", 1.0}, {"fast", 1.0}, {"0.5x", 1.0}};
  for (const Case& c : cases) {
    setenv("MIROVANE_TIME_SCALE", c.text, 1);
    EXPECT_DOUBLE_EQ(ScaledClock::ScaleFromEnvironment(), c.expected) << c.text;
  }
  unsetenv("MIROVANE_TIME_SCALE");
  EXPECT_DOUBLE_EQ(ScaledClock::ScaleFromEnvironment(), 1.0);
}

}  // namespace
}  // namespace platform
