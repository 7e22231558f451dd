#include "tool/model/user_event_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(UserEventLog, EventsAreDeliveredOnceInOrder) {
  TUserEventLog log;
  ASSERT_EQ(log.Initialize(), noErr);
  const DriverObjectRef disk{11, 3};
  log.AddEvent(kCmdInitializeDisk, &disk, &disk, kMirovaneNoError, 0, nullptr);
  log.AddEvent(kCmdCreateVolume, nullptr, nullptr, kMirovaneErrNoSpace, 42, "Vol");

  DiskVolumeListHeaderRec header{};
  MirovaneEventRec* list = nullptr;
  ASSERT_EQ(log.CreateEventList(&header, &list), noErr);
  ASSERT_EQ(header.eventCount, 2u);
  EXPECT_EQ(list[0].command, kCmdInitializeDisk);
  EXPECT_EQ(list[0].first, disk);
  EXPECT_EQ(list[1].command, kCmdCreateVolume);
  EXPECT_EQ(list[1].first, (DriverObjectRef{0, 0}));  // no objects: zero
  EXPECT_EQ(list[1].second, (DriverObjectRef{0, 0}));
  EXPECT_EQ(list[1].error, kMirovaneErrNoSpace);
  EXPECT_EQ(list[1].value, 42u);
  EXPECT_STREQ(list[1].text, "Vol");
  log.ReleaseEventList();

  ASSERT_EQ(log.CreateEventList(&header, &list), noErr);
  EXPECT_EQ(header.eventCount, 0u);
  EXPECT_EQ(list, nullptr);
}

TEST(UserEventLog, LongTextFillsTheFieldWithoutTerminator) {
  TUserEventLog log;
  const std::string name(70, 'n');
  log.AddEvent(kCmdDeleteVolume, nullptr, nullptr, kMirovaneNoError, 0, name.c_str());
  DiskVolumeListHeaderRec header{};
  MirovaneEventRec* list = nullptr;
  ASSERT_EQ(log.CreateEventList(&header, &list), noErr);
  ASSERT_EQ(header.eventCount, 1u);
  EXPECT_EQ(std::string(list[0].text, 64), std::string(64, 'n'));
}

TEST(UserEventLog, HelperThreadsAddWhileTheMainThreadTakes) {
  TUserEventLog log;
  constexpr int kThreads = 4, kEach = 2000;
  std::vector<std::thread> helpers;
  for (int t = 0; t < kThreads; ++t) {
    helpers.emplace_back([&log, t] {
      for (int i = 0; i < kEach; ++i) {
        log.AddEvent(kCmdZeroDisk, nullptr, nullptr, kMirovaneNoError,
                     static_cast<uint64_t>(t) * kEach + i, nullptr);
      }
    });
  }
  std::vector<int> seen(kThreads, -1);
  size_t total = 0;
  bool ordered = true;
  auto take = [&] {
    DiskVolumeListHeaderRec header{};
    MirovaneEventRec* list = nullptr;
    ASSERT_EQ(log.CreateEventList(&header, &list), noErr);
    for (uint32_t i = 0; i < header.eventCount; ++i) {
      const int t = static_cast<int>(list[i].value / kEach);
      const int n = static_cast<int>(list[i].value % kEach);
      ordered = ordered && n > seen[t];
      seen[t] = n;
    }
    total += header.eventCount;
    log.ReleaseEventList();
  };
  for (int i = 0; i < 50; ++i) take();
  for (auto& h : helpers) h.join();
  take();
  EXPECT_EQ(total, size_t{kThreads} * kEach);
  EXPECT_TRUE(ordered);  // each helper's events keep their order
}

}  // namespace
