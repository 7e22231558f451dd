#include "platform/sim/poll_run_loop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>
#include <vector>

namespace platform {
namespace {

TEST(PollRunLoopTest, DispatchesReadableDescriptorsUntilStopped) {
  PollRunLoop loop;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string received;
  int id = loop.AddDescriptorSource(fds[0], [&] {
    char c;
    if (read(fds[0], &c, 1) == 1) received.push_back(c);
    if (received.size() == 3) loop.Stop();
  });
  ASSERT_GT(id, 0);
  ASSERT_EQ(write(fds[1], "abc", 3), 3);
  EXPECT_EQ(loop.Run(), 0);
  EXPECT_EQ(received, "abc");
  close(fds[0]);
  close(fds[1]);
}

TEST(PollRunLoopTest, PerformFromAnotherThreadRunsOnTheLoop) {
  PollRunLoop loop;
  std::thread::id ran_on;
  std::thread other([&] {
    loop.Perform([&] {
      ran_on = std::this_thread::get_id();
      loop.Stop();
    });
  });
  EXPECT_EQ(loop.Run(), 0);
  other.join();
  EXPECT_EQ(ran_on, std::this_thread::get_id());
}

TEST(PollRunLoopTest, WorkQueuedBehindAStopRunsOnTheNextRun) {
  PollRunLoop loop;
  std::vector<int> ran;
  loop.Perform([&] {
    ran.push_back(1);
    loop.Stop();
  });
  loop.Perform([&] { ran.push_back(2); });
  loop.Perform([&] {
    ran.push_back(3);
    loop.Stop();
  });
  EXPECT_EQ(loop.Run(), 0);
  EXPECT_EQ(ran, std::vector<int>{1});
  EXPECT_EQ(loop.Run(), 0);
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
}

TEST(PollRunLoopTest, RemovedSourceIsNotCalledAgain) {
  PollRunLoop loop;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int calls = 0;
  int id = 0;
  id = loop.AddDescriptorSource(fds[0], [&] {
    ++calls;
    loop.RemoveSource(id);
    loop.Perform([&] { loop.Stop(); });
  });
  ASSERT_EQ(write(fds[1], "xx", 2), 2);
  EXPECT_EQ(loop.Run(), 0);
  EXPECT_EQ(calls, 1);
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
}  // namespace platform
