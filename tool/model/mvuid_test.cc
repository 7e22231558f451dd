#include "tool/model/mvuid.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "platform/testing/fake_host.h"

namespace {

TEST(MVUIDTest, IsTheClockInNanosecondsWhenTheClockMovesOn) {
  platform::testing::FakeHost host;
  host.manual_clock().Set(1000.5);
  MVUID first = GetNewMVUID();
  host.manual_clock().Set(2000.0);
  EXPECT_EQ(GetNewMVUID(), 2000000000000ULL);
  EXPECT_GT(2000000000000ULL, first);
}

TEST(MVUIDTest, StandingOrBackwardClockGivesPreviousPlusOne) {
  platform::testing::FakeHost host;
  host.manual_clock().Set(5000.0);
  MVUID a = GetNewMVUID();
  MVUID b = GetNewMVUID();  // same instant
  host.manual_clock().Set(10.0);  // clock set back
  MVUID c = GetNewMVUID();
  EXPECT_EQ(b, a + 1);
  EXPECT_EQ(c, b + 1);
}

TEST(MVUIDTest, ConcurrentCallersNeverShareAnIdentifier) {
  platform::testing::FakeHost host;
  host.manual_clock().Set(7000.0);
  constexpr int kThreads = 4, kEach = 2000;
  std::vector<std::vector<MVUID>> got(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) got[t].push_back(GetNewMVUID());
    });
  }
  for (auto& th : threads) th.join();
  std::set<MVUID> all;
  for (auto& v : got) all.insert(v.begin(), v.end());
  EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
}

}  // namespace
