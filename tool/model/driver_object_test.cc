#include "tool/model/driver_object.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "platform/testing/fake_host.h"
#include "tool/model/driver_object_list.h"

namespace {

class TestObject : public TDriverObject {
 public:
  explicit TestObject(const char* name, TDriverObjectList* peers = nullptr) : TDriverObject(name) {
    SetPeerList(peers);
  }
  OSErr HandleCommand(ApplicationCommandID, DriverObjectCmdParamsRec*, void* reply,
                      uint32_t* replyLength) override {
    const uint32_t ok = 0;
    std::memcpy(reply, &ok, 4);
    *replyLength = 4;
    ++commands;
    return noErr;
  }
  // The helper waits for cancellation (or at most ~10 s of real time).
  void HelperThreadDispatch(HelperThreadRec* record) override {
    started = record->command;
    for (int i = 0; i < 100 && !ReturnThreadControl()->SleepAndTestForCancel(1); ++i) {
    }
    finished = true;
    ReturnThreadControl()->SetThreadNotRunning();
  }
  void StartCommand(uint32_t command) { helper_record().command = command; }
  void MakeMirovane() { SetIsMirovane(true); }
  int commands = 0;
  std::atomic<uint32_t> started{0};
  std::atomic<bool> finished{false};
};

class TestList : public TDriverObjectList {
 public:
  TestObject* Add(const char* name, TDriverObjectList* peers = nullptr) {
    auto* o = new TestObject(name, peers);
    EXPECT_EQ(o->Initialize(1000), noErr);
    EXPECT_EQ(InsertObject(o, ReturnArrayPtr().size()), noErr);
    return o;
  }
  void Remove(TDriverObject* o) { RemoveObject(o, true); }
};

// A clock whose seconds are real seconds, for the timed waits.
class RealTimeHost : public platform::testing::FakeHost {
 public:
  RealTimeHost() { SetClock(&clock_); }
  class Clock : public platform::Clock {
    double AbsoluteTime() override { return 0; }
    void Sleep(double) override {}
    double ToRealSeconds(double s) override { return s / 100; }  // 1 s is 10 ms
    int32_t SecondsFromGMT(double) override { return 0; }
  } clock_;
};

TEST(DriverObject, NumbersCountUpAndAreNeverReused) {
  const uint32_t next = TDriverObject::ReturnNextObjectNumber(0);
  EXPECT_EQ(TDriverObject::ReturnNextObjectNumber(0), next);
  uint32_t first;
  {
    TestObject a("disk1");
    first = a.ReturnObjectNumber();
    EXPECT_EQ(first, next);
  }
  TestObject b("disk1");
  EXPECT_EQ(b.ReturnObjectNumber(), first + 1);
}

TEST(DriverObject, NamesAndRawPathname) {
  TestObject a("disk12s10");
  EXPECT_STREQ(a.ReturnBSDName(), "disk12s10");
  EXPECT_STREQ(a.ReturnBSDPathname(), "/dev/rdisk12s10");
  TestObject b("0123456789abcdefXYZ");  // cut to 16 characters
  EXPECT_STREQ(b.ReturnBSDName(), "0123456789abcdef");
  EXPECT_STREQ(b.ReturnBSDPathname(), "/dev/r0123456789abcdef");
}

TEST(DriverObjectList, StaleReferenceFindsNothingEvenWhenItsTokenIsReused) {
  TestList list;
  TestObject* a = list.Add("disk2");
  const DriverObjectRef stale = a->ReturnObjectRef();
  list.Remove(a);
  model_testing::SetNextObjectToken(stale.objectToken);
  TestObject* b = list.Add("disk2");
  ASSERT_EQ(b->ReturnObjectToken(), stale.objectToken);  // the token was reused

  struct Case {
    const char* name;
    DriverObjectRef ref;
    OSErr result;
    uint32_t reply;
  };
  const std::vector<Case> cases = {
      {"stale", stale, paramErr, kMirovaneErrNotFound},
      {"right token, other number", {b->ReturnObjectToken(), b->ReturnObjectNumber() + 7}, paramErr,
       kMirovaneErrNotFound},
      {"live", b->ReturnObjectRef(), noErr, 0},
  };
  for (const Case& c : cases) {
    DriverObjectCmdParamsRec params{};
    params.object = c.ref;
    uint32_t reply = 0xFFFF, length = 0;
    EXPECT_EQ(list.HandleCommand(kCmdGetDiskInfo, &params, &reply, &length), c.result) << c.name;
    EXPECT_EQ(reply, c.reply) << c.name;
    EXPECT_EQ(length, 4u) << c.name;
    EXPECT_EQ(TDriverObject::FindLiveObject(c.ref) != nullptr, c.result == noErr) << c.name;
  }
  EXPECT_EQ(b->commands, 1);
}

TEST(DriverObject, CachedReferencesSortByPeerListPosition) {
  TestList volumes;
  std::vector<TestObject*> v;
  for (int i = 0; i < 6; ++i) v.push_back(volumes.Add(("disk9s" + std::to_string(i)).c_str()));
  TestObject disk("disk5", &volumes);
  const DriverObjectRef r5 = v[5]->ReturnObjectRef(), r2 = v[2]->ReturnObjectRef();
  disk.AddObjectRefToCache(&r5);
  disk.AddObjectRefToCache(&r2);
  disk.SortObjectRefsInCache();
  ASSERT_EQ(disk.ReturnCachedRefs().size(), 2u);
  EXPECT_EQ(disk.ReturnCachedRefs()[0], r2);
  EXPECT_EQ(disk.ReturnCachedRefs()[1], r5);
  unsigned long index = 9;
  EXPECT_TRUE(disk.FindObjectRefInCache(&r5, &index));
  EXPECT_EQ(index, 1u);
  disk.RemoveObjectRefFromCache(&r2);
  EXPECT_FALSE(disk.FindObjectRefInCache(&r2, nullptr));
}

TEST(DriverObjectList, ConnectionsAreReportedOnlyWhenTheyChange) {
  TestList disks, volumes;
  TestObject* disk2 = disks.Add("disk2", &volumes);
  TestObject* raid = disks.Add("disk3", &volumes);
  raid->MakeMirovane();
  TestObject* v1 = volumes.Add("disk2s3", &disks);
  volumes.Add("disk2s5", &disks);
  volumes.Add("disk4s1", &disks);
  const DriverObjectRef v1ref = v1->ReturnObjectRef();
  raid->AddObjectRefToCache(&v1ref);

  unsigned long count = 0;
  ConnectionRec* list = nullptr;
  disks.UpdateAllConnectionRecs();
  ASSERT_EQ(disks.CreateConnectionList(&count, &list), noErr);
  ASSERT_EQ(count, 3u);  // disk2 with its two partitions, then the RAID disk's cache
  EXPECT_EQ(list[0].owner, disk2->ReturnObjectRef());
  EXPECT_EQ(list[0].connected, v1ref);
  EXPECT_EQ(list[2].owner, raid->ReturnObjectRef());
  EXPECT_EQ(list[2].connected, v1ref);

  disks.UpdateAllConnectionRecs();
  ASSERT_EQ(disks.CreateConnectionList(&count, &list), noErr);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(list, nullptr);

  volumes.Add("disk2s7", &disks);  // a new partition of disk2: only disk2 reports again
  disks.UpdateAllConnectionRecs();
  ASSERT_EQ(disks.CreateConnectionList(&count, &list), noErr);
  EXPECT_EQ(count, 3u);
  for (unsigned long i = 0; i < count; ++i) EXPECT_EQ(list[i].owner, disk2->ReturnObjectRef());

  raid->RemoveAllLocallyCachedRefs();  // the cache empties: one report with no records
  disks.UpdateAllConnectionRecs();
  ASSERT_EQ(disks.CreateConnectionList(&count, &list), noErr);
  EXPECT_EQ(count, 0u);
  raid->RemoveAllLocallyCachedRefs();  // already empty: nothing changes
  disks.UpdateAllConnectionRecs();
  EXPECT_EQ(raid->ReturnNumberConnectionRecs(), 0u);
}

TEST(DriverObject, SecondHelperIsRefusedWhileTheFirstRuns) {
  RealTimeHost host;
  TestList list;
  TestObject* o = list.Add("disk2");
  o->StartCommand(kCmdZeroDisk);
  ASSERT_EQ(o->StartHelperThread(), noErr);
  EXPECT_EQ(o->StartHelperThread(), paramErr);
  EXPECT_EQ(o->Cancel(), noErr);  // waits for the helper to end
  EXPECT_TRUE(o->finished);
  EXPECT_EQ(o->started, kCmdZeroDisk);
  EXPECT_FALSE(o->ReturnThreadControl()->IsRunning());
  // Idle again: a new helper may start.
  ASSERT_EQ(o->StartHelperThread(), noErr);
  EXPECT_EQ(o->Cancel(), noErr);
}

TEST(ApplicationRecords, ListReplySizesAndCommandCodes) {
  EXPECT_EQ(ListReplyBytes(0, 0, 0, 0), 24u);
  EXPECT_EQ(ListReplyBytes(2, 1, 3, 1), 24u + 576 + 228 + 72 + 96);
  for (uint32_t unassigned : {0u, 10u, 18u, 19u, 28u, 29u, 41u, 49u, 71u}) {
    EXPECT_FALSE(IsAssignedCommand(unassigned)) << unassigned;
  }
  for (uint32_t assigned : {1u, 9u, 11u, 27u, 30u, 40u, 50u, 70u}) {
    EXPECT_TRUE(IsAssignedCommand(assigned)) << assigned;
  }
}

}  // namespace
