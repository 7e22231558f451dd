// Requests to the daemon's machine built from fuzz input: operations, argument names
// and values of every type (and of the wrong types) drawn from the input, sent from
// a few clients that come and go, with timers fired now and then. The machine holds
// one partitioned disk so that device, registry and Disk Arbitration paths are live.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "platform/sim/machine_protocol.h"
#include "sim/machine/machine.h"

namespace {

namespace m = platform::machine;
using platform::Property;
using platform::PropertyArray;
using platform::PropertyDictionary;

class Env : public sim::MachineEnv {
 public:
  void Send(uint64_t, PropertyDictionary) override {}
  uint64_t After(double, std::function<void()> fn) override {
    timers[next] = std::move(fn);
    return next++;
  }
  void Cancel(uint64_t timer) override { timers.erase(timer); }
  double Now() override { return 0; }
  void RequestShutdown() override {}
  void Fire() {
    auto due = std::move(timers);
    timers.clear();
    for (auto& [id, fn] : due) fn();
  }
  std::map<uint64_t, std::function<void()>> timers;
  uint64_t next = 1;
};

const char* const kOps[] = {
    m::kRegistryMatch, m::kRegistryFromPath, m::kRegistryProperty, m::kRegistrySearch,
    m::kRegistryProperties, m::kRegistryDescribe, m::kRegistryChildren, m::kRegistryIterate,
    m::kRegistrySubscribe, m::kRegistryUnsubscribe, m::kRegistrySetProperty, m::kFirmwareGet,
    m::kFirmwareSet, m::kFirmwareDelete, m::kFirmwareList, m::kAuthIssue, m::kAuthCheck,
    m::kDeviceOpen, m::kDeviceCheck, m::kDeviceRead, m::kDeviceWrite, m::kDeviceSync,
    m::kDeviceClose, m::kMachineStatus, m::kMachineBuses, m::kMachineMedia, m::kMachineVolumes,
    m::kMachineReprobe, m::kFaultAdd, m::kFaultList, m::kFaultClear, m::kDaStart, m::kDaCallbacks,
    m::kDaUpdateFlags, m::kDaClaim, m::kDaWillHandle, m::kDaMount, m::kDaUnmount, m::kDaChange,
    m::kDaUnmountAck, m::kDaEjectAck, "nonsense"};
const char* const kKeys[] = {"entry", "key", "plane", "options", "matching", "path", "bsd", "name",
                             "value", "form", "right", "handle", "offset", "length", "data", "bus",
                             "unit", "properties", "kind", "device", "start", "nth", "sectors", "id",
                             "sub", "callbacks", "mask", "priority", "yes", "flags", "writable",
                             "first", "rights", "reads", "writes", "seconds"};
const char* const kTexts[] = {"disk0", "disk0s2", "disk0s1", "disk9", "/dev/rdisk0s2", "/dev/disk0",
                              "IOService:/", "IODeviceTree:/options", "service", "devicetree",
                              "IOMedia", "first-match", "terminate", "io-error", "fail-write",
                              "tear-write", "refuse-unmount", "hold-registry-notifications",
                              "boot-device", "Name", "",
                              m::kDaUnmountPre, m::kDaUnrecognized, "system.privilege.admin"};

struct Input {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  uint8_t Byte() { return at < size ? data[at++] : 0; }
  bool empty() const { return at >= size; }
};

Property Value(Input& in, int depth) {
  switch (in.Byte() % 9) {
    case 0: return Property::Integer(static_cast<int8_t>(in.Byte()));
    case 1: {
      uint64_t v = 0;
      for (int i = 0; i < 8; ++i) v = (v << 8) | in.Byte();
      return Property::Integer(static_cast<int64_t>(v));
    }
    case 2: return Property::Integer(static_cast<int64_t>(in.Byte()) * 512);
    case 3: return Property::String(kTexts[in.Byte() % std::size(kTexts)]);
    case 4: return Property::Boolean(in.Byte() & 1);
    case 5: {
      size_t n = in.Byte() % 40;
      std::vector<uint8_t> d;
      for (size_t i = 0; i < n; ++i) d.push_back(in.Byte());
      return Property::Data(std::move(d));
    }
    case 6: {
      PropertyArray a;
      if (depth < 3) {
        for (int i = in.Byte() % 4; i > 0; --i) a.push_back(Value(in, depth + 1));
      }
      return Property::Array(std::move(a));
    }
    case 7: {
      PropertyDictionary d;
      if (depth < 3) {
        for (int i = in.Byte() % 4; i > 0; --i) {
          const char* key = in.Byte() & 1 ? kKeys[in.Byte() % std::size(kKeys)]
                                          : (in.Byte() & 1 ? "class" : "bsd");
          d[key] = Value(in, depth + 1);
        }
      }
      return Property::Dictionary(std::move(d));
    }
    default: return Property::Integer(0x1000 + in.Byte() % 64);  // likely registry entries
  }
}

struct World {
  std::string root;
  Env env;
  std::unique_ptr<sim::Machine> machine;
};

World& TheWorld() {
  static World* world = [] {
    auto* w = new World();
    char pattern[] = "/tmp/mirovane-machine-fuzz-XXXXXX";
    w->root = ::mkdtemp(pattern);
    static std::string to_remove = w->root;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(to_remove, ignored);
    });
    std::string error;
    sim::CreateOptions options;
    options.disk_count = 1;
    options.disk_size = 8 << 20;
    if (sim::CreateMachineRoot(w->root, options, &error) != 0) std::abort();
    std::string image = w->root + "/disks/disk-1.img";
    std::string command = "parted -s " + image + " mklabel mac mkpart a hfs+ 1MiB 4MiB >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) std::abort();
    w->machine = std::make_unique<sim::Machine>(w->root, w->env);
    if (w->machine->Start(&error) != 0) std::abort();
    return w;
  }();
  return *world;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  World& world = TheWorld();
  Input in{data, size};
  while (!in.empty()) {
    uint8_t action = in.Byte();
    uint64_t client = 1 + action % 3;
    if (action >= 250) {
      world.machine->DropClient(client);
      continue;
    }
    if (action >= 240) {
      world.env.Fire();
      continue;
    }
    PropertyDictionary request;
    request[m::kOp] = Property::String(kOps[in.Byte() % std::size(kOps)]);
    for (int i = in.Byte() % 6; i > 0; --i) request[kKeys[in.Byte() % std::size(kKeys)]] = Value(in, 0);
    sim::Reply reply;
    world.machine->Handle(client, request, &reply);
    if (reply.fd >= 0) ::close(reply.fd);
  }
  return 0;
}
