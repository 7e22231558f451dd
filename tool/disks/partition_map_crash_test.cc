// Walks every write of a map change and interrupts the change at each one: the
// write fails, the machine crashes after it (later writes are lost), or the write
// tears (only a prefix of whole sectors lands, then the crash). A fresh reader must
// then find the old layout or the new one, and a retry must reach the new one.
// After each interruption, the next read-write open must also put the disk itself
// into the layout the engine found, so that a reader that knows nothing of the undo
// record sees it too; that repair is walked write by write in the same way.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>

#include "tool/disks/partition_map.h"
#include "tool/disks/testing/map_fixture.h"
#include "tool/disks/testing/plain_reader.h"

namespace mv_test {
namespace {

struct Scenario {
  const char* name;
  std::function<void(MapFixture*)> setup;
  std::function<MapResult(MapFixture*)> change;
  // New maps get a new disk identifier on every run.
  bool newDiskID;
  // An interruption may also leave the disk without a map.
  bool mayLoseMap;
};
void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

using WriteLog = std::vector<platform::testing::ImageRawDevices::WriteRecord>;
using Regions = std::vector<std::pair<uint64_t, std::string>>;

// One way to interrupt write number w.
struct Fault {
  std::string name;
  std::function<void(int)> inject;  // takes w
  std::function<int()> fired;
  bool failed;  // the write reports an error (the others lose data silently)
};

class CrashWalkTest : public MapFixture, public ::testing::WithParamInterface<Scenario> {
 public:
  MapResult Initialise() {
    TPartitionMap map(disk_.get(), &volumes_);
    MapResult r = map.Open(false);
    if (r == 0) r = map.Create();
    if (r == 0) r = map.Write(nullptr, nullptr, 0);
    return r;
  }

  // A fresh map with three 2 MiB volumes, 1, 2 and 3, side by side.
  void InitialiseWithThreeVolumes() {
    Initialise();
    EXPECT_EQ(CarveVolume(1, 2 * kMiB), 0);
    EXPECT_EQ(CarveVolume(2, 2 * kMiB), 0);
    EXPECT_EQ(CarveVolume(3, 2 * kMiB), 0);
  }

  void SaveRegions(const WriteLog& log) { saved_ = Capture(log); }
  void RestoreRegions() { Put(saved_); }
  Regions Capture(const WriteLog& log) {
    Regions regions;
    for (const auto& w : log) regions.push_back({w.offset, ReadBytes(w.offset, w.length)});
    return regions;
  }
  void Put(const Regions& regions) {
    for (auto it = regions.rbegin(); it != regions.rend(); ++it) WriteBytes(it->first, it->second);
  }

  // The faults for a write of `write->length` bytes; with no write, only the crash
  // after the previous one.
  std::vector<Fault> FaultsAt(const platform::testing::ImageRawDevices::WriteRecord* write) {
    std::vector<Fault> faults;
    if (write != nullptr) {
      const size_t sectors = write->length / 512;
      faults.push_back({"fail", [this](int w) { devices_.FailWriteAt(w); },
                        [this] { return devices_.write_failures_fired(); }, true});
      std::set<size_t> tears = {0, 1, sectors / 2, sectors - 1};
      for (size_t k : tears) {
        if (k >= sectors) continue;
        faults.push_back({"tear " + std::to_string(k), [this, k](int w) { devices_.TearWriteAt(w, k); },
                          [this] { return devices_.tears_fired(); }, false});
      }
    }
    faults.push_back({"crash after previous", [this](int w) { devices_.CrashAfterWrite(w - 1); },
                      [this] { return devices_.writes_lost(); }, false});
    return faults;
  }

  // Opens the disk read-write and reads it, as every operation that changes a disk
  // starts.
  MapResult OpenReadWrite(bool* repaired = nullptr) {
    TPartitionMap map(disk_.get(), nullptr);
    MapResult r = map.Open(false);
    if (r == 0) r = map.Read(false);
    if (repaired) *repaired = map.ReturnRepaired();
    return r;
  }

  // Every reader finds `layout`: the engine without an undo record left to apply,
  // and a reader that knows nothing of undo records.
  void ExpectEveryReaderFinds(const LayoutView& layout) {
    EXPECT_EQ(Snapshot(), layout);
    EXPECT_FALSE(last_snapshot_rolled_back) << "the undo record is still on the disk";
    EXPECT_EQ(ReadAsPlainReader(image()).layout, AsPlain(layout));
  }

  // From an interrupted change (`interrupted`, read by the engine as `now`): the
  // next read-write open repairs the disk; and the repair, interrupted at each of
  // its writes, leaves a disk that still reads as `now` and that the open after it
  // repairs. Returns the repair's writes.
  WriteLog WalkRepair(const LayoutView& now, bool rolledBack, const Regions& interrupted,
                    const WriteLog& changeLog) {
    Put(interrupted);
    const size_t first = devices_.write_log().size();
    bool repaired = false;
    EXPECT_EQ(OpenReadWrite(&repaired), 0);
    EXPECT_EQ(repaired, rolledBack);
    WriteLog log = devices_.write_log();
    log.erase(log.begin(), log.begin() + static_cast<std::ptrdiff_t>(first));
    ExpectEveryReaderFinds(now);
    if (!rolledBack) {
      EXPECT_TRUE(log.empty()) << "a disk with nothing to repair was written";
      return log;
    }
    // The repair writes only where the change wrote, so `interrupted` restores all
    // it touches.
    for (const auto& w : log) {
      const bool inside = std::any_of(changeLog.begin(), changeLog.end(), [&](const auto& c) {
        return w.offset >= c.offset && w.offset + w.length <= c.offset + c.length;
      });
      EXPECT_TRUE(inside) << "repair write at " << w.offset << "+" << w.length;
    }

    for (size_t n = 1; n <= log.size(); ++n) {
      for (const Fault& f : FaultsAt(&log[n - 1])) {
        SCOPED_TRACE("repair write " + std::to_string(n) + ", " + f.name);
        Put(interrupted);
        const int before = f.fired();
        f.inject(devices_.writes() + static_cast<int>(n));
        const MapResult r = OpenReadWrite();
        devices_.ClearFaults();
        EXPECT_GT(f.fired(), before);
        if (f.failed) {
          EXPECT_EQ(r, kMirovaneErrWriteFailed);
        }
        EXPECT_EQ(Snapshot(), now) << "an interrupted repair changed the layout";
        EXPECT_EQ(OpenReadWrite(), 0);
        ExpectEveryReaderFinds(now);
      }
    }
    return log;
  }

  Regions saved_;
};

LayoutView WithoutDiskID(LayoutView v) {
  v.diskID = 0;
  return v;
}

TEST_P(CrashWalkTest, EveryInterruptionReadsAsOldOrNewLayout) {
  const Scenario& s = GetParam();
  MakeImage(24 * kMiB);
  s.setup(this);
  const LayoutView old = Snapshot();
  ASSERT_EQ(old.result, 0) << old;

  // Dry run: the writes of the change, and the layout it makes.
  const std::string image_before = ReadBytes(0, image_bytes());
  const size_t first = devices_.write_log().size();
  ASSERT_EQ(s.change(this), 0);
  auto log = devices_.write_log();
  log.erase(log.begin(), log.begin() + static_cast<std::ptrdiff_t>(first));
  const LayoutView fresh = Snapshot();
  ASSERT_NE(fresh, old);
  WriteBytes(0, image_before);
  ASSERT_EQ(Snapshot(), old);
  // Zeroing the scratch partition follows the layout writes and changes no layout:
  // the walk covers the writes up to the last one of the map.
  size_t layoutWrites = log.size();
  if (s.newDiskID) {
    for (size_t i = 0; i < log.size(); ++i) {
      if (log[i].offset == 0) layoutWrites = i + 1;  // block 0 is the last map write
    }
  }
  log.resize(layoutWrites);
  SaveRegions(log);

  const auto same = [&](const LayoutView& a, const LayoutView& b) {
    return s.newDiskID ? WithoutDiskID(a) == WithoutDiskID(b) : a == b;
  };
  const int base = devices_.writes();
  int runs = 0;
  int rollbacks = 0;
  // Repairs that made the old status copy current again, and that rewrote the
  // live entries.
  int statusRepairs = 0;
  int entryRepairs = 0;
  const uint64_t statusOffset = ReadAsPlainReader(image()).statusOffset;
  for (int n = 1; n <= static_cast<int>(layoutWrites) + 1; ++n) {
    const std::vector<Fault> faults =
        FaultsAt(n <= static_cast<int>(layoutWrites) ? &log[n - 1] : nullptr);

    for (const Fault& f : faults) {
      SCOPED_TRACE(std::string(s.name) + ": write " + std::to_string(n) + ", " + f.name);
      RestoreRegions();
      const int offset = devices_.writes() - base;
      const int before = f.fired();
      f.inject(base + offset + n);
      const MapResult r = s.change(this);
      devices_.ClearFaults();
      ++runs;
      if (n <= static_cast<int>(layoutWrites)) {
        EXPECT_GT(f.fired(), before);
      }
      const LayoutView now = Snapshot();
      const bool rolledBack = last_snapshot_rolled_back;
      rollbacks += rolledBack;
      const bool isOld = now == old;
      const bool isNew = same(now, fresh);
      const bool noMap = s.mayLoseMap && now.result == 0 && now.driverType == kDriverTypeNone;
      EXPECT_TRUE(isOld || isNew || noMap) << "found " << now;
      if (f.failed) {
        EXPECT_NE(r, 0);
        EXPECT_TRUE(isOld || noMap) << "a failed change must leave the old layout: " << now;
      }
      if (rolledBack) {
        EXPECT_TRUE(isOld) << "rolled back to " << now;
      }
      const Regions interrupted = Capture(log);
      if (isOld || noMap) {
        // Nothing is lost for good: the change goes through on a retry.
        ASSERT_EQ(s.change(this), 0);
        EXPECT_TRUE(same(Snapshot(), fresh));
      }
      // The next read-write open puts the disk itself into the layout found, so
      // that readers without the undo record see the old layout too.
      const WriteLog repair = WalkRepair(now, rolledBack, interrupted, log);
      statusRepairs += std::any_of(repair.begin(), repair.end(), [&](const auto& w) {
        return static_cast<uint64_t>(w.offset) >= statusOffset;
      });
      entryRepairs += std::any_of(repair.begin(), repair.end(),
                                  [&](const auto& w) { return w.offset == 512; });
      if (rolledBack) {
        EXPECT_EQ(ReadAsPlainReader(image()).layout, AsPlain(old));
      }
    }
  }
  EXPECT_GT(runs, static_cast<int>(layoutWrites) * 3);
  // Changes of an existing map are undone from the record in the map's tail, and
  // the walk reaches interruptions where the repair rewrites the status copy and
  // ones where it rewrites the entries.
  if (!s.newDiskID) {
    EXPECT_GT(rollbacks, 0);
    EXPECT_GT(statusRepairs, 0);
    EXPECT_GT(entryRepairs, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    MapChanges, CrashWalkTest,
    ::testing::Values(
        Scenario{"initialise_blank",
                 [](MapFixture*) {},
                 [](MapFixture* f) { return static_cast<CrashWalkTest*>(f)->Initialise(); }, true,
                 false},
        Scenario{"carve",
                 [](MapFixture* f) {
                   static_cast<CrashWalkTest*>(f)->Initialise();
                   EXPECT_EQ(static_cast<CrashWalkTest*>(f)->CarveVolume(1, 2 * kMiB), 0);
                 },
                 [](MapFixture* f) { return static_cast<CrashWalkTest*>(f)->CarveVolume(2, 3 * kMiB); },
                 false, false},
        Scenario{"carve_exact_fit",
                 [](MapFixture* f) { static_cast<CrashWalkTest*>(f)->Initialise(); },
                 [](MapFixture* f) {
                   auto* fx = static_cast<CrashWalkTest*>(f);
                   return fx->CarveVolume(2, fx->image_bytes() - (65 + 54 + 20480) * 512);
                 },
                 false, false},
        Scenario{"delete_merging_neighbours",
                 [](MapFixture* f) {
                   auto* fx = static_cast<CrashWalkTest*>(f);
                   fx->InitialiseWithThreeVolumes();
                   EXPECT_EQ(fx->DeleteVolume(1), 0);
                 },
                 [](MapFixture* f) { return static_cast<CrashWalkTest*>(f)->DeleteVolume(2); },
                 false, false},
        Scenario{"delete_in_place",
                 [](MapFixture* f) { static_cast<CrashWalkTest*>(f)->InitialiseWithThreeVolumes(); },
                 [](MapFixture* f) { return static_cast<CrashWalkTest*>(f)->DeleteVolume(2); },
                 false, false},
        // Initialising over an existing map first clears its block 0: in between,
        // the disk reads as having no map (never as a mixture).
        Scenario{"initialise_over_existing_map",
                 [](MapFixture* f) {
                   auto* fx = static_cast<CrashWalkTest*>(f);
                   fx->Initialise();
                   EXPECT_EQ(fx->CarveVolume(1, 2 * kMiB), 0);
                 },
                 [](MapFixture* f) { return static_cast<CrashWalkTest*>(f)->Initialise(); }, true,
                 true}),
    [](const ::testing::TestParamInfo<Scenario>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace mv_test
