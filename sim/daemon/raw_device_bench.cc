// Throughput of the machine's raw devices: 1 MiB transfers straight to the image
// (the client's own descriptor) against the same transfers through the daemon
// (what happens while a fault is armed on the disk). Run by hand.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "platform/raw_device.h"
#include "platform/sim/machine_host.h"
#include "sim/testing/test_machine.h"

namespace {

using platform::Property;

struct Bench {
  std::unique_ptr<sim::testing::TestMachine> machine;
  std::unique_ptr<platform::MachineHost> host;
  Bench() {
    machine = std::make_unique<sim::testing::TestMachine>(sim::testing::TestMachineOptions{.disk_count = 0});
    std::string image = machine->CreateImage("bench.img", 256ll << 20);
    machine->AttachDisk(image, "ata0", 0);
    host = machine->NewHost();
  }
};

Bench& Shared() {
  static Bench* bench = new Bench();  // one machine for every run of the process
  return *bench;
}

void Transfer(benchmark::State& state, bool write) {
  Bench& bench = Shared();
  bool through_daemon = state.range(0) != 0;
  std::string error;
  bench.machine->control().ClearFaults(&error);
  if (through_daemon) {
    // A fault far from the bytes used here puts the disk's transfers through the daemon.
    bench.machine->AddFault({{"kind", Property::String("io-error")},
                             {"device", Property::String("disk0")},
                             {"start", Property::Integer(255ll << 20)},
                             {"length", Property::Integer(512)}});
  }
  auto device = bench.host->raw_devices().Open("/dev/rdisk0", platform::kBsdOpenReadWrite);
  std::string buffer(1 << 20, 'b');
  int64_t offset = 0;
  for (auto _ : state) {
    device->Seek(offset);
    ssize_t n = write ? device->Write(buffer.data(), buffer.size()) : device->Read(buffer.data(), buffer.size());
    benchmark::DoNotOptimize(n);
    offset = (offset + (1 << 20)) % (128ll << 20);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (1 << 20));
  state.SetLabel(through_daemon ? "through the daemon" : "direct");
}

void BM_RawDeviceWrite(benchmark::State& state) { Transfer(state, true); }
void BM_RawDeviceRead(benchmark::State& state) { Transfer(state, false); }
BENCHMARK(BM_RawDeviceWrite)->Arg(0)->Arg(1);
BENCHMARK(BM_RawDeviceRead)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
