#include "tool/model/thread_control.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/testing/fake_host.h"

namespace {

// Machine seconds are real seconds here, so that the timed wait really waits.
class RealClock : public platform::Clock {
 public:
  double AbsoluteTime() override { return 0; }
  void Sleep(double) override {}
  double ToRealSeconds(double seconds) override { return seconds; }
  int32_t SecondsFromGMT(double) override { return 0; }
};

TEST(ThreadControl, SleepReturnsAtOnceWhenCancelledDuringTheWait) {
  platform::testing::FakeHost host;
  RealClock clock;
  host.SetClock(&clock);
  TThreadControl control;
  ASSERT_EQ(control.Init(), 0);
  control.SetThreadRunning();
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    control.Cancel();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(control.SleepAndTestForCancel(30));  // bounded by the test's own timeout
  canceller.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(25));
  EXPECT_TRUE(control.ThreadWasCancelled());
  // A new run clears the request.
  control.SetThreadRunning();
  EXPECT_FALSE(control.TestForCancel());
}

TEST(ThreadControl, SleepEndsWithoutCancelAfterItsTime) {
  platform::testing::FakeHost host;  // manual clock: no real time passes
  TThreadControl control;
  ASSERT_EQ(control.Init(), 0);
  EXPECT_FALSE(control.SleepAndTestForCancel(5));
}

TEST(ThreadControl, CancelAndWaitReturnsOnlyAfterTheHelperEnds) {
  platform::testing::FakeHost host;
  TThreadControl control;
  ASSERT_EQ(control.Init(), 0);
  control.SetThreadRunning();
  std::atomic<bool> ended{false};
  std::thread helper([&] {
    while (!control.TestForCancel()) std::this_thread::yield();
    ended = true;
    control.SetThreadNotRunning();
  });
  control.CancelAndWaitForTermination();
  EXPECT_TRUE(ended);
  EXPECT_FALSE(control.IsRunning());
  helper.join();
}

}  // namespace
