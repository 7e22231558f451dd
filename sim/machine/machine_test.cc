// The daemon's machine in-process, with a hand-driven environment: notifications
// reach the right clients, waits for clients end when their time is up, and open
// devices follow the faults armed on them.
#include "sim/machine/machine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "platform/disk_arbitration.h"
#include "platform/sim/machine_protocol.h"
#include "platform/sim/machine_wire.h"
#include "platform/testing/temp_dir.h"
#include "sim/fs/block_store.h"
#include "sim/fs/volume_format.h"

namespace sim {
namespace {

namespace m = platform::machine;
namespace wire = platform::wire;
using platform::PropertyArray;

// Records what the machine sends; timers fire only when the test says so.
class FakeEnv : public MachineEnv {
 public:
  void Send(uint64_t client, PropertyDictionary event) override { sent.push_back({client, std::move(event)}); }
  uint64_t After(double, std::function<void()> fn) override {
    timers[next] = std::move(fn);
    return next++;
  }
  void Cancel(uint64_t timer) override { timers.erase(timer); }
  double Now() override { return 1000; }
  void RequestShutdown() override { shutdown = true; }
  void FireTimers() {
    auto due = std::move(timers);
    timers.clear();
    for (auto& [id, fn] : due) fn();
  }
  // Names of the events a client got, in order.
  std::vector<std::string> EventsFor(uint64_t client) const {
    std::vector<std::string> out;
    for (const auto& [c, e] : sent) {
      if (c != client) continue;
      std::string name = *wire::GetString(e, m::kEvent);
      if (const std::string* bsd = wire::GetString(e, "bsd")) name += " " + *bsd;
      if (auto error = wire::GetInteger(e, "error")) name += " " + std::to_string(*error);
      out.push_back(name);
    }
    return out;
  }

  std::vector<std::pair<uint64_t, PropertyDictionary>> sent;
  std::map<uint64_t, std::function<void()>> timers;
  uint64_t next = 1;
  bool shutdown = false;
};

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    CreateOptions options;
    options.disk_count = 0;
    ASSERT_EQ(CreateMachineRoot(dir_.path(), options, &error), 0) << error;
    machine_ = std::make_unique<Machine>(dir_.path(), env_);
    ASSERT_EQ(machine_->Start(&error), 0) << error;
  }

  PropertyDictionary Call(uint64_t client, const std::string& op, PropertyDictionary args = {},
                          int* fd = nullptr) {
    args[m::kOp] = Property::String(op);
    Reply reply;
    machine_->Handle(client, args, &reply);
    if (fd != nullptr) {
      *fd = reply.fd;
    } else if (reply.fd >= 0) {
      ::close(reply.fd);
    }
    return reply.body;
  }
  int64_t Status(const PropertyDictionary& reply) { return wire::GetInteger(reply, m::kStatus).value_or(-1); }

  // A 16 MiB disk whose first partition (1 MiB..9 MiB) holds HFS Plus "Vol".
  std::string AttachFormatted(const std::string& bus) {
    std::string image = dir_.Sub("disks/" + bus + ".img");
    EXPECT_EQ(CreateBlankImage(image, 16 << 20), 0);
    std::string command = "parted -s " + image + " mklabel mac mkpart a hfs+ 1MiB 9MiB >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
    int fd = ::open(image.c_str(), O_RDWR);
    FileRegion region(fd, 1 << 20, 8 << 20);
    EXPECT_EQ(FormatHfsPlus(region, {"Vol", false, false, 4096, 0}), 0);
    ::close(fd);
    auto reply = Call(99, m::kMachineAttach, {{"image", Property::String(image)}, {"bus", Property::String(bus)}});
    EXPECT_EQ(Status(reply), 0) << wire::GetString(reply, m::kError);
    return *wire::GetString(reply, "bsd");
  }

  void StartSession(uint64_t client, std::vector<const char*> callbacks) {
    PropertyArray names;
    for (const char* c : callbacks) names.push_back(Property::String(c));
    ASSERT_EQ(Status(Call(client, m::kDaStart, {{"callbacks", Property::Array(names)}})), 0);
  }

  // Client `client` hears of new media and of Disk Arbitration's appearances, as the
  // disk watcher does.
  void WatchMedia(uint64_t client) {
    auto media = Property::Dictionary({{"class", Property::String("IOMedia")}});
    ASSERT_EQ(Status(Call(client, m::kRegistrySubscribe,
                          {{"kind", Property::String("first-match")}, {"matching", media}})), 0);
    StartSession(client, {m::kDaAppearedComplete});
  }
  // What a client heard, in order: "media disk0 disk0s1" for a registry notification
  // (the BSD names of its entries), "appeared disk0s2" for Disk Arbitration.
  std::vector<std::string> Heard(uint64_t client) {
    std::vector<std::string> out;
    for (const auto& [c, e] : env_.sent) {
      if (c != client) continue;
      const std::string event = *wire::GetString(e, m::kEvent);
      if (event == m::kDaAppearedComplete) out.push_back("appeared " + *wire::GetString(e, "bsd"));
      if (event != m::kRegistryNotifyEvent) continue;
      std::string line = "media";
      for (const Property& entry : *wire::GetArray(e, "entries")) {
        auto name = Call(99, m::kRegistryProperty, {{"entry", entry}, {"key", Property::String("BSD Name")}});
        const std::string* bsd = wire::GetString(name, "value");
        line += " " + (bsd != nullptr ? *bsd : "?");
      }
      out.push_back(line);
    }
    return out;
  }
  // Registry notifications only.
  std::vector<std::string> Notified(uint64_t client) {
    std::vector<std::string> out;
    for (const std::string& line : Heard(client)) {
      if (line.starts_with("media")) out.push_back(line);
    }
    return out;
  }
  int64_t Hold(const std::string& device, std::optional<double> seconds = std::nullopt) {
    PropertyDictionary spec = {{"kind", Property::String("hold-registry-notifications")}};
    if (!device.empty()) spec["device"] = Property::String(device);
    if (seconds) spec["seconds"] = Property::Real(*seconds);
    auto reply = Call(99, m::kFaultAdd, spec);
    EXPECT_EQ(Status(reply), 0) << wire::GetString(reply, m::kError);
    return wire::GetInteger(reply, "id").value_or(0);
  }
  int64_t Release(std::optional<std::string> device = std::nullopt) {
    PropertyDictionary request = {{"kind", Property::String("hold-registry-notifications")}};
    if (device) request["device"] = Property::String(*device);
    return Status(Call(99, m::kFaultClear, request));
  }
  int64_t Fired(int64_t id) {
    auto list = Call(99, m::kFaultList);
    for (const Property& f : *wire::GetArray(list, "faults")) {
      if (f.Find("id")->AsInteger() == id) return f.Find("fired")->AsInteger().value_or(-1);
    }
    return -1;
  }

  platform::testing::TempDir dir_;
  FakeEnv env_;
  std::unique_ptr<Machine> machine_;
};

TEST_F(MachineTest, NotificationsGoToTheClientsThatArmedThemUntilTheyLeave) {
  auto media = Property::Dictionary({{"class", Property::String("IOMedia")}});
  auto first = Call(1, m::kRegistrySubscribe, {{"kind", Property::String("first-match")}, {"matching", media}});
  auto last = Call(2, m::kRegistrySubscribe, {{"kind", Property::String("terminate")}, {"matching", media}});
  ASSERT_EQ(Status(first), 0);
  ASSERT_EQ(Status(last), 0);
  std::string disk = AttachFormatted("ata0");
  EXPECT_EQ(env_.EventsFor(1), std::vector<std::string>{m::kRegistryNotifyEvent});
  const PropertyArray* entries = wire::GetArray(env_.sent[0].second, "entries");
  ASSERT_NE(entries, nullptr);
  EXPECT_EQ(entries->size(), 3u);  // the whole disk, the map partition, the volume
  EXPECT_TRUE(env_.EventsFor(2).empty());

  machine_->DropClient(1);
  env_.sent.clear();
  ASSERT_EQ(Status(Call(99, m::kMachineDetach, {{"bsd", Property::String(disk)}})), 0);
  EXPECT_TRUE(env_.EventsFor(1).empty());
  EXPECT_EQ(env_.EventsFor(2), std::vector<std::string>{m::kRegistryNotifyEvent});
}

TEST_F(MachineTest, UnmountGoesAheadWhenAnAcknowledgementDoesNotCome) {
  std::string disk = AttachFormatted("ata1");
  std::string volume = disk + "s2";
  StartSession(1, {m::kDaUnmountPre, m::kDaUnmountPost});  // never answers
  StartSession(2, {m::kDaUnmountPre, m::kDaUnmountPost});
  ASSERT_EQ(Status(Call(2, m::kDaUnmount, {{"bsd", Property::String(volume)},
                                            {"flags", Property::Integer(platform::kDiskArbUnmountOneVolume)}})), 0);
  ASSERT_EQ(Status(Call(2, m::kDaUnmountAck, {{"bsd", Property::String(volume)}, {"error", Property::Integer(0)}})), 0);
  EXPECT_EQ(env_.EventsFor(2), std::vector<std::string>{std::string(m::kDaUnmountPre) + " " + volume});
  ASSERT_EQ(::access((dir_.path() + "/Volumes/Vol").c_str(), F_OK), 0);
  env_.FireTimers();
  EXPECT_EQ(env_.EventsFor(2).back(), std::string(m::kDaUnmountPost) + " " + volume + " 0");
  EXPECT_NE(::access((dir_.path() + "/Volumes/Vol").c_str(), F_OK), 0);
}

TEST_F(MachineTest, OfferPassesOnWhenTheClaimantStaysSilent) {
  StartSession(1, {m::kDaUnrecognized});
  StartSession(2, {m::kDaUnrecognized});
  Call(1, m::kDaClaim, {{"mask", Property::Integer(0x3C0F)}, {"priority", Property::Integer(50)}});
  Call(2, m::kDaClaim, {{"mask", Property::Integer(0x3C0F)}, {"priority", Property::Integer(10)}});
  std::string image = dir_.Sub("disks/blank.img");
  ASSERT_EQ(CreateBlankImage(image, 1 << 20), 0);
  ASSERT_EQ(Status(Call(99, m::kMachineAttach, {{"image", Property::String(image)}, {"bus", Property::String("usb0")}})), 0);
  EXPECT_EQ(env_.EventsFor(1), std::vector<std::string>{std::string(m::kDaUnrecognized) + " disk0"});
  EXPECT_TRUE(env_.EventsFor(2).empty());
  env_.FireTimers();
  EXPECT_EQ(env_.EventsFor(2), std::vector<std::string>{std::string(m::kDaUnrecognized) + " disk0"});
  // A late answer from the first claimant changes nothing.
  Call(1, m::kDaWillHandle, {{"bsd", Property::String("disk0")}, {"yes", Property::Boolean(true)}});
  Call(2, m::kDaWillHandle, {{"bsd", Property::String("disk0")}, {"yes", Property::Boolean(true)}});
  EXPECT_TRUE(env_.timers.empty());
}

TEST_F(MachineTest, OpenDevicesFollowTheFaultsArmedOnTheirDisk) {
  std::string disk = AttachFormatted("scsi0");
  int fd = -1;
  auto open = Call(1, m::kDeviceOpen, {{"path", Property::String("/dev/r" + disk + "s2")},
                                       {"writable", Property::Boolean(true)}}, &fd);
  ASSERT_EQ(Status(open), 0);
  EXPECT_GE(fd, 0);  // the image, for the client's own transfers
  ::close(fd);
  EXPECT_EQ(*wire::GetString(open, "mode"), m::kModeDirect);
  EXPECT_EQ(wire::GetInteger(open, "offset"), 1 << 20);
  auto handle = *wire::GetInteger(open, "handle");
  ASSERT_EQ(Status(Call(99, m::kFaultAdd, {{"kind", Property::String("io-error")},
                                           {"device", Property::String(disk)},
                                           {"start", Property::Integer(1 << 20)},
                                           {"length", Property::Integer(512)}})), 0);
  auto check = Call(1, m::kDeviceCheck, {{"handle", Property::Integer(handle)}});
  EXPECT_EQ(*wire::GetString(check, "mode"), m::kModeDaemon);
  EXPECT_GT(wire::GetInteger(check, "generation"), wire::GetInteger(open, "generation"));
  auto read = Call(1, m::kDeviceRead, {{"handle", Property::Integer(handle)},
                                       {"offset", Property::Integer(0)},
                                       {"length", Property::Integer(1024)}});
  EXPECT_EQ(Status(read), EIO);
  // Another client cannot use this client's device.
  EXPECT_EQ(Status(Call(2, m::kDeviceRead, {{"handle", Property::Integer(handle)},
                                            {"offset", Property::Integer(4096)},
                                            {"length", Property::Integer(512)}})), EBADF);
  ASSERT_EQ(Status(Call(99, m::kFaultClear)), 0);
  EXPECT_EQ(*wire::GetString(Call(1, m::kDeviceCheck, {{"handle", Property::Integer(handle)}}), "mode"),
            m::kModeDirect);
}

TEST_F(MachineTest, FirmwareAndDisksAreWrittenBackToTheDescription) {
  ASSERT_EQ(Status(Call(1, m::kFirmwareSet, {{"name", Property::String("boot-args")},
                                             {"value", Property::String("-v")}})), 0);
  std::string disk = AttachFormatted("firewire0");
  std::string error;
  auto description = LoadDescription(dir_.path(), &error);
  ASSERT_TRUE(description) << error;
  EXPECT_EQ(description->firmware["boot-args"], "-v");
  ASSERT_EQ(description->disks.size(), 1u);
  EXPECT_EQ(description->disks[0].bus, "firewire0");
  ASSERT_EQ(Status(Call(99, m::kMachineDetach, {{"bsd", Property::String(disk)}})), 0);
  EXPECT_TRUE(LoadDescription(dir_.path(), &error)->disks.empty());
}

// --- Registry notifications held back ------------------------------------------------

TEST_F(MachineTest, AHoldKeepsBackTheMediaItNamesWhileDiskArbitrationGoesOn) {
  struct Case {
    const char* bus;
    const char* hold;  // "" holds every new medium
    std::vector<std::string> at_once;
    std::vector<std::string> on_release;
    int64_t fired;
  } cases[] = {
      {"ata0", "disk0", {}, {"media disk0 disk0s1 disk0s2"}, 3},
      {"ata1", "disk1s2", {"media disk1 disk1s1"}, {"media disk1s2"}, 1},
      {"scsi0", "", {}, {"media disk2 disk2s1 disk2s2"}, 3},
      {"firewire0", "disk9", {"media disk3 disk3s1 disk3s2"}, {}, 0},
  };
  WatchMedia(1);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.bus) + " hold '" + c.hold + "'");
    env_.sent.clear();
    int64_t id = Hold(c.hold);
    std::string disk = AttachFormatted(c.bus);
    EXPECT_EQ(Notified(1), c.at_once);
    std::vector<std::string> heard = Heard(1);
    EXPECT_NE(std::find(heard.begin(), heard.end(), "appeared " + disk + "s2"), heard.end())
        << "Disk Arbitration is not held";
    EXPECT_EQ(Fired(id), c.fired);

    env_.sent.clear();
    EXPECT_EQ(Release(), 0);
    EXPECT_EQ(Notified(1), c.on_release);
    EXPECT_EQ(Fired(id), -1) << "a released hold is gone";
  }
}

TEST_F(MachineTest, HeldNotificationsKeepTheirOrderAndNeverAnnounceMediaThatWent) {
  WatchMedia(1);
  auto media = Property::Dictionary({{"class", Property::String("IOMedia")}});
  ASSERT_EQ(Status(Call(2, m::kRegistrySubscribe,
                        {{"kind", Property::String("terminate")}, {"matching", media}})), 0);
  int64_t id = Hold("");
  std::string a = AttachFormatted("ata0");
  std::string b = AttachFormatted("ata1");
  std::string c = AttachFormatted("scsi0");
  ASSERT_EQ(Status(Call(99, m::kMachineDetach, {{"bsd", Property::String(b)}})), 0);
  EXPECT_TRUE(Notified(1).empty());
  EXPECT_EQ(env_.EventsFor(2), std::vector<std::string>{m::kRegistryNotifyEvent}) << b << " went";
  EXPECT_EQ(Fired(id), 9);

  env_.sent.clear();
  ASSERT_EQ(Status(Call(99, m::kFaultClear, {{"id", Property::Integer(id)}})), 0);
  EXPECT_EQ(Notified(1), (std::vector<std::string>{"media " + a + " " + a + "s1 " + a + "s2",
                                                   "media " + c + " " + c + "s1 " + c + "s2"}));
  // Released once: a second release finds no hold.
  EXPECT_EQ(Release(), ENOENT);
}

TEST_F(MachineTest, ATimedHoldSendsEachNotificationWhenItsTimeIsUpAndStaysArmed) {
  WatchMedia(1);
  int64_t id = Hold("", 5);
  std::string a = AttachFormatted("ata0");
  EXPECT_TRUE(Notified(1).empty());
  ASSERT_EQ(env_.timers.size(), 1u);
  env_.FireTimers();
  EXPECT_EQ(Notified(1), std::vector<std::string>{"media " + a + " " + a + "s1 " + a + "s2"});

  env_.sent.clear();
  std::string b = AttachFormatted("ata1");
  EXPECT_TRUE(Notified(1).empty()) << "the hold is still armed";
  EXPECT_EQ(Fired(id), 6);
  // Clearing every fault releases what is held before its time, and its timer goes.
  ASSERT_EQ(Status(Call(99, m::kFaultClear)), 0);
  EXPECT_EQ(Notified(1), std::vector<std::string>{"media " + b + " " + b + "s1 " + b + "s2"});
  EXPECT_TRUE(env_.timers.empty());
}

TEST_F(MachineTest, HoldsAreReleasedByTheNameTheyWereArmedOn) {
  WatchMedia(1);
  Hold("disk0");
  Hold("disk1");
  std::string a = AttachFormatted("ata0");
  std::string b = AttachFormatted("ata1");
  EXPECT_EQ(Release(std::string("/dev/disk1")), 0);
  EXPECT_EQ(Notified(1), std::vector<std::string>{"media " + b + " " + b + "s1 " + b + "s2"});
  EXPECT_EQ(Release(std::string("disk1")), ENOENT);
  EXPECT_EQ(Release(std::string("disk0s2")), ENOENT) << "only the name it was armed on";
  env_.sent.clear();
  EXPECT_EQ(Release(std::string("disk0")), 0);
  EXPECT_EQ(Notified(1), std::vector<std::string>{"media " + a + " " + a + "s1 " + a + "s2"});
}

TEST_F(MachineTest, AClientThatLeavesTakesItsHeldNotificationsWithIt) {
  WatchMedia(1);
  WatchMedia(2);
  Hold("", 5);
  std::string a = AttachFormatted("ata0");
  ASSERT_EQ(env_.timers.size(), 2u);
  machine_->DropClient(1);
  EXPECT_EQ(env_.timers.size(), 1u) << "its timer is cancelled";
  env_.sent.clear();
  EXPECT_EQ(Release(), 0);
  EXPECT_TRUE(Notified(1).empty());
  EXPECT_EQ(Notified(2), std::vector<std::string>{"media " + a + " " + a + "s1 " + a + "s2"});
}

TEST_F(MachineTest, HoldArgumentsAreChecked) {
  struct Case {
    const char* what;
    PropertyDictionary request;
    int64_t status;
  } cases[] = {
      {"not a BSD name", {{"device", Property::String("sda1")}}, EINVAL},
      {"no partition number", {{"device", Property::String("disk2s")}}, EINVAL},
      {"negative time", {{"seconds", Property::Real(-1)}}, EINVAL},
      {"time as text", {{"seconds", Property::String("5")}}, EINVAL},
      {"time beyond a year", {{"seconds", Property::Integer(400 * 86400)}}, EINVAL},
      {"a device path", {{"device", Property::String("/dev/rdisk3s2")}, {"seconds", Property::Integer(2)}}, 0},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.request["kind"] = Property::String("hold-registry-notifications");
    EXPECT_EQ(Status(Call(99, m::kFaultAdd, c.request)), c.status);
  }
  EXPECT_EQ(Release(std::string("disk3s2")), 0);
  EXPECT_EQ(Release(), ENOENT) << "nothing left to release";
  EXPECT_EQ(Status(Call(99, m::kFaultClear, {{"kind", Property::String("io-error")}})), EINVAL);
}

}  // namespace
}  // namespace sim
