// Partition map engine on a 10 GB sparse disk image: reading a map, carving a
// volume partition and writing the map back with verification, deleting it again,
// and initialising (whose time is mostly one pass of zeroing the 10 MiB scratch
// partition in 128 KiB writes, each read back). Compare the last with dd writing
// the same 10 MiB in 128 KiB blocks: bench/scratch_vs_dd.sh.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "platform/testing/fake_host.h"
#include "platform/testing/image_raw_devices.h"
#include "platform/testing/temp_dir.h"
#include "tool/disks/partition_map.h"
#include "tool/disks/testing/map_fixture.h"

namespace {

constexpr uint64_t kDiskBytes = 10ull * 1000 * 1000 * 1000;

struct Machine {
  platform::testing::FakeHost host;
  platform::testing::ImageRawDevices devices;
  // Each reading of the clock moves it 10 s on: one scratch pass per initialise.
  mv_test::SteppingClock clock{10.0};
  std::string image;
  std::unique_ptr<mv_test::FakeDisk> disk;

  Machine() {
    host.SetRawDevices(&devices);
    host.SetClock(&clock);
    const char* dir = std::getenv("MIROVANE_BENCH_DIR");
    image = dir ? std::string(dir) + "/bench-disk.img" : host.Resolve("/tmp/bench-disk.img");
    const int fd = ::open(image.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(kDiskBytes)) != 0) std::abort();
    ::close(fd);
    devices.AddDevice(mv_test::kDevice, image);
    disk = std::make_unique<mv_test::FakeDisk>(mv_test::kDevice, kDiskBytes);
  }
  ~Machine() { ::unlink(image.c_str()); }

  void Initialise(benchmark::State& state) {
    TPartitionMap map(disk.get(), nullptr);
    if (map.Open(false) != 0 || map.Create() != 0 || map.Write(nullptr, nullptr, 0) != 0) {
      state.SkipWithError("initialise failed");
    }
    disk->driver_type = kDriverTypeMirovane;
  }
};

Machine& TheMachine() {
  static Machine* machine = new Machine();
  return *machine;
}

VolumePartitionStatusRec Record(uint64_t bytes) {
  VolumePartitionStatusRec r;
  std::memset(&r, 0, sizeof(r));
  r.volumeID.set(42);
  r.partitionSize.set(bytes);
  return r;
}

void BM_InitialiseWithScratchPass(benchmark::State& state) {
  Machine& m = TheMachine();
  for (auto _ : state) m.Initialise(state);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kScratchPartitionBytes);
}
BENCHMARK(BM_InitialiseWithScratchPass)->Unit(benchmark::kMillisecond);

void BM_ReadMap(benchmark::State& state) {
  Machine& m = TheMachine();
  m.Initialise(state);
  for (auto _ : state) {
    TPartitionMap map(m.disk.get(), nullptr);
    if (map.Open(true) != 0 || map.Read(true) != 0) state.SkipWithError("read failed");
  }
}
BENCHMARK(BM_ReadMap)->Unit(benchmark::kMicrosecond);

void BM_CarveAndWriteVerified(benchmark::State& state) {
  Machine& m = TheMachine();
  m.Initialise(state);
  const VolumePartitionStatusRec record = Record(4ull * 1000 * 1000 * 1000);
  for (auto _ : state) {
    {
      TPartitionMap map(m.disk.get(), nullptr);
      if (map.Open(false) != 0 || map.Read(true) != 0 || map.AddVolumePartition(&record, true) != 0 ||
          map.Write(nullptr, nullptr, 0) != 0) {
        state.SkipWithError("carve failed");
        break;
      }
    }
    state.PauseTiming();
    TPartitionMap map(m.disk.get(), nullptr);
    if (map.Open(false) != 0 || map.Read(true) != 0 || map.DeleteVolumePartition(42) != 0 ||
        map.Write(nullptr, nullptr, 0) != 0) {
      state.SkipWithError("delete failed");
    }
    state.ResumeTiming();
  }
}
BENCHMARK(BM_CarveAndWriteVerified)->Unit(benchmark::kMicrosecond);

void BM_DeleteAndWriteVerified(benchmark::State& state) {
  Machine& m = TheMachine();
  m.Initialise(state);
  const VolumePartitionStatusRec record = Record(4ull * 1000 * 1000 * 1000);
  for (auto _ : state) {
    state.PauseTiming();
    {
      TPartitionMap map(m.disk.get(), nullptr);
      if (map.Open(false) != 0 || map.Read(true) != 0 || map.AddVolumePartition(&record, true) != 0 ||
          map.Write(nullptr, nullptr, 0) != 0) {
        state.SkipWithError("carve failed");
        break;
      }
    }
    state.ResumeTiming();
    TPartitionMap map(m.disk.get(), nullptr);
    if (map.Open(false) != 0 || map.Read(true) != 0 || map.DeleteVolumePartition(42) != 0 ||
        map.Write(nullptr, nullptr, 0) != 0) {
      state.SkipWithError("delete failed");
    }
  }
}
BENCHMARK(BM_DeleteAndWriteVerified)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
