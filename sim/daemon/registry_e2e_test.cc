// The registry, firmware and authority of a running machine, seen through the
// platform clients of a process on it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>

#include "platform/sim/machine_host.h"
#include "sim/testing/test_machine.h"

namespace sim {
namespace {

using platform::Matching;
using platform::Plane;
using platform::Property;
using platform::RegistryEntry;
using testing::TestMachine;

TEST(RegistryE2ETest, DefaultMachineAnswersLookupsByClassBsdNameAndPath) {
  TestMachine machine;
  ASSERT_TRUE(machine.up());
  auto host = machine.NewHost();
  platform::Registry& r = host->registry();

  std::vector<RegistryEntry> media = r.GetMatchingServices(Matching::ServiceMatching("IOMedia"));
  ASSERT_EQ(media.size(), 4u);
  // Superclass matching: every medium is also an IOStorage.
  EXPECT_EQ(r.GetMatchingServices(Matching::ServiceMatching("IOStorage")).size(), 8u);

  RegistryEntry disk2 = r.GetMatchingService(Matching::BSDNameMatching("disk2"));
  ASSERT_TRUE(disk2);
  EXPECT_EQ(r.GetClassName(disk2), "IOMedia");
  EXPECT_EQ(r.GetProperty(disk2, "Size")->AsInteger(), 64 << 20);
  EXPECT_EQ(r.GetProperty(disk2, "Whole")->AsBoolean(), true);
  EXPECT_EQ(r.GetProperty(disk2, "Ejectable")->AsBoolean(), false);
  EXPECT_EQ(r.GetProperty(disk2, "Preferred Block Size")->AsInteger(), 512);
  EXPECT_FALSE(r.GetProperty(disk2, "Protocol Characteristics"));
  auto protocol = r.SearchProperty(disk2, "Protocol Characteristics", Plane::kService,
                                   platform::kIterateRecursively | platform::kIterateParents);
  ASSERT_TRUE(protocol);
  EXPECT_EQ(*protocol->Find("Physical Interconnect")->AsString(), "SCSI Parallel Interface");
  EXPECT_EQ(r.SearchProperty(disk2, "SCSI Target", Plane::kService, 3)->AsInteger(), 1);
  EXPECT_TRUE(r.SearchProperty(disk2, "io-device-location", Plane::kService, 3));

  auto path = r.GetPath(disk2, Plane::kService);
  ASSERT_TRUE(path);
  EXPECT_TRUE(path->starts_with("IOService:/pci@f2000000/scsi@4/")) << *path;
  EXPECT_EQ(r.EntryFromPath(*path), disk2);
  auto tree_path = r.GetPath(disk2, Plane::kDeviceTree);
  ASSERT_TRUE(tree_path);
  EXPECT_EQ(*tree_path, "IODeviceTree:/pci@f2000000/scsi@4/@1");
  EXPECT_EQ(r.GetMatchingService(Matching::OpenFirmwarePathMatching("/pci@f2000000/scsi@4/@1")), disk2);
  EXPECT_FALSE(r.GetMatchingService(Matching::BSDNameMatching("disk9")));
  EXPECT_FALSE(r.EntryFromPath("IOService:/nowhere"));

  // The bus scan of the watcher: device_type entries and channels, in registry order.
  auto it = r.CreateIterator(Plane::kService, platform::kIterateRecursively);
  ASSERT_NE(it, nullptr);
  std::vector<std::string> buses;
  for (RegistryEntry e = it->Next(); e; e = it->Next()) {
    auto type = r.GetProperty(e, "device_type");
    if (type && type->AsData()) {
      std::string text(type->AsData()->begin(), type->AsData()->end());
      buses.push_back(text.c_str());
    }
    if (r.GetProperty(e, "Channel")) buses.push_back("channel");
  }
  EXPECT_EQ(buses, (std::vector<std::string>{"pci", "mac-io", "scsi", "pci", "ata", "channel",
                                             "channel", "ieee1394", "usb"}));
}

std::string Text(const std::optional<Property>& p) {
  return p && p->AsString() ? *p->AsString() : std::string();
}

std::string Interconnect(platform::Registry& r, RegistryEntry e) {
  auto protocol = r.SearchProperty(e, "Protocol Characteristics", Plane::kService, 3);
  if (!protocol || protocol->Find("Physical Interconnect") == nullptr) return "";
  return *protocol->Find("Physical Interconnect")->AsString();
}

TEST(RegistryE2ETest, HotPlugDeliversFirstMatchAndTerminateWithTheDisksProperties) {
  TestMachine machine({.disk_count = 0});
  ASSERT_TRUE(machine.up());
  auto host = machine.NewHost();
  platform::Registry& r = host->registry();
  std::vector<RegistryEntry> appeared, gone;
  Matching media = Matching::ServiceMatching("IOMedia");
  media.properties["Whole"] = Property::Boolean(true);
  auto first = r.AddNotification(platform::NotificationKind::kFirstMatch, media,
                                 [&](platform::RegistryIterator& it) {
                                   for (RegistryEntry e = it.Next(); e; e = it.Next()) appeared.push_back(e);
                                 });
  auto terminate = r.AddNotification(platform::NotificationKind::kTerminate, media,
                                     [&](platform::RegistryIterator& it) {
                                       for (RegistryEntry e = it.Next(); e; e = it.Next()) gone.push_back(e);
                                     });
  ASSERT_NE(first, nullptr);
  ASSERT_NE(terminate, nullptr);
  EXPECT_FALSE(first->Next());  // nothing plugged in yet

  struct Plug {
    const char* bus;
    const char* interconnect;
    const char* identity_key;  // a bus identity the watcher reads, searched from the medium
    Property identity;
  } plugs[] = {
      {"ata1", "ATA", "device serial", Property::String("    ATA-77  ")},
      {"firewire0", "FireWire", "GUID", Property::Integer(0x0030e0f00d000001)},
      {"usb0", "USB", "USB Serial Number", Property::String("USB-5")},
  };
  std::vector<std::string> names;
  for (const Plug& p : plugs) {
    std::string image = machine.CreateImage(std::string(p.bus) + ".img", 8 << 20);
    names.push_back(machine.AttachDisk(image, p.bus, std::nullopt,
                                       {{p.identity_key, p.identity},
                                        {"Vendor Name", Property::String("ACME")}}));
  }
  ASSERT_TRUE(testing::RunUntil(*host, [&] { return appeared.size() == 3; }, 10));
  for (size_t i = 0; i < 3; ++i) {
    RegistryEntry e = appeared[i];
    EXPECT_EQ(Text(r.GetProperty(e, "BSD Name")), names[i]);
    EXPECT_EQ(Interconnect(r, e), plugs[i].interconnect);
    EXPECT_EQ(r.SearchProperty(e, plugs[i].identity_key, Plane::kService, 3), plugs[i].identity);
    auto device = r.SearchProperty(e, "Device Characteristics", Plane::kService, 3);
    ASSERT_TRUE(device);
    EXPECT_EQ(*device->Find("Vendor Name")->AsString(), "ACME");
    EXPECT_EQ(::access(machine.Resolve("/dev/r" + names[i]).c_str(), F_OK), 0);
  }

  for (const std::string& name : names) ASSERT_TRUE(machine.DetachDisk(name));
  ASSERT_TRUE(testing::RunUntil(*host, [&] { return gone.size() == 3; }, 10));
  for (size_t i = 0; i < 3; ++i) {
    RegistryEntry e = gone[i];
    EXPECT_EQ(e, appeared[i]);
    // A terminated medium has left the planes but still tells who it was.
    EXPECT_FALSE(r.GetPath(e, Plane::kService));
    EXPECT_EQ(Text(r.GetProperty(e, "BSD Name")), names[i]);
    EXPECT_EQ(Interconnect(r, e), plugs[i].interconnect);
    EXPECT_FALSE(r.GetMatchingService(Matching::BSDNameMatching(names[i])));
    EXPECT_NE(::access(machine.Resolve("/dev/r" + names[i]).c_str(), F_OK), 0);
  }
}

TEST(RegistryE2ETest, PartitionsOfAMapWrittenByPartedAreChildMedia) {
  TestMachine machine({.disk_count = 0});
  ASSERT_TRUE(machine.up());
  std::string image = machine.CreateImage("parted.img", 32 << 20);
  ASSERT_EQ(std::system(("parted -s " + image +
                         " mklabel mac mkpart one hfs+ 1MiB 9MiB mkpart two hfs+ 9MiB 20MiB"
                         " >/dev/null 2>&1").c_str()), 0);
  std::string disk = machine.AttachDisk(image, "ata0", 0);
  ASSERT_EQ(disk, "disk0");
  auto host = machine.NewHost();
  platform::Registry& r = host->registry();
  RegistryEntry whole = r.GetMatchingService(Matching::BSDNameMatching("disk0"));
  ASSERT_TRUE(whole);
  EXPECT_EQ(Text(r.GetProperty(whole, "Content")), "Apple_partition_scheme");
  EXPECT_EQ(r.GetProperty(whole, "Leaf")->AsBoolean(), false);

  std::vector<RegistryEntry> scheme = r.GetChildren(whole, Plane::kService);
  ASSERT_EQ(scheme.size(), 1u);
  EXPECT_EQ(r.GetClassName(scheme[0]), "IOApplePartitionScheme");
  std::map<std::string, std::string> content;
  for (RegistryEntry part : r.GetChildren(scheme[0], Plane::kService)) {
    EXPECT_EQ(r.GetParent(part, Plane::kService), scheme[0]);
    EXPECT_EQ(r.GetProperty(part, "Whole")->AsBoolean(), false);
    content[Text(r.GetProperty(part, "BSD Name"))] = Text(r.GetProperty(part, "Content"));
  }
  EXPECT_EQ(content, (std::map<std::string, std::string>{{"disk0s1", "Apple_partition_map"},
                                                          {"disk0s2", "Apple_HFS"},
                                                          {"disk0s3", "Apple_HFS"}}));
  RegistryEntry two = r.GetMatchingService(Matching::BSDNameMatching("disk0s2"));
  EXPECT_EQ(r.GetProperty(two, "Size")->AsInteger(), 8 << 20);
  EXPECT_EQ(r.GetProperty(two, "Base")->AsInteger(), 1 << 20);
  EXPECT_EQ(r.GetPath(two, Plane::kDeviceTree), "IODeviceTree:/pci@f4000000/ata-6@d/channel@0/@0:2");
  EXPECT_EQ(r.GetMatchingService(Matching::OpenFirmwarePathMatching("/pci@f4000000/ata-6@d/channel@0/@0:2")), two);

  // Another program changes the map on the image: the machine follows.
  ASSERT_EQ(std::system(("parted -s " + image + " rm 3 mkpart three hfs+ 20MiB 30MiB"
                         " >/dev/null 2>&1").c_str()), 0);
  ASSERT_TRUE(testing::RunUntil(*host, [&] {
    return r.GetMatchingService(Matching::BSDNameMatching("disk0s3")) &&
           r.GetProperty(r.GetMatchingService(Matching::BSDNameMatching("disk0s3")), "Size")
                   ->AsInteger() == 10 << 20;
  }, 10));
  EXPECT_EQ(r.GetMatchingService(Matching::BSDNameMatching("disk0s2")), two);  // unchanged stays
}

TEST(RegistryE2ETest, FirmwareVariableSetThroughThePlatformShowsInTheDeviceTree) {
  TestMachine machine;
  ASSERT_TRUE(machine.up());
  auto host = machine.NewHost();
  RegistryEntry options = host->registry().EntryFromPath("IODeviceTree:/options");
  ASSERT_TRUE(options);
  std::string path = "/pci@f4000000/ata-6@d/channel@1/@0:3,\\\\:tbxi";
  ASSERT_EQ(host->firmware().SetVariable("boot-device", path), 0);
  EXPECT_EQ(host->firmware().GetVariable("boot-device"), path);
  auto shown = host->registry().GetProperty(options, "boot-device");
  ASSERT_TRUE(shown);
  EXPECT_EQ(*shown->AsString(), path);
  // Variables survive the machine going down and up again.
  ASSERT_TRUE(machine.Stop());
  ASSERT_TRUE(machine.Start());
  auto again = machine.NewHost();
  EXPECT_EQ(again->firmware().GetVariable("boot-device"), path);
  EXPECT_EQ(again->firmware().SetVariable("bad=name", "x"), EINVAL);
  EXPECT_FALSE(again->firmware().GetVariable("no-such-variable"));
}

TEST(RegistryE2ETest, AuthorityKnowsTheFormsItIssuedAndTheirRights) {
  TestMachine machine;
  ASSERT_TRUE(machine.up());
  auto host = machine.NewHost();
  platform::Authority& authority = host->authority();
  platform::AuthorizationExternalForm admin = machine.IssueAuthorization();
  platform::AuthorizationExternalForm other = machine.IssueAuthorization({"system.other"});
  platform::AuthorizationExternalForm forged{};
  forged.fill(0x5a);
  EXPECT_TRUE(authority.HoldsRight(admin, platform::kRightAdmin, "/Tool"));
  EXPECT_FALSE(authority.HoldsRight(other, platform::kRightAdmin, "/Tool"));
  EXPECT_FALSE(authority.HoldsRight(forged, platform::kRightAdmin, "/Tool"));

  // A privileged child takes the form its parent writes and the machine accepts it.
  for (const auto& [form, expected] : {std::pair{admin, 0}, std::pair{forged, 3}}) {
    pid_t pid = 0;
    int stdin_fd = -1;
    if (expected == 3) {
      // Without the right nothing is started at all.
      EXPECT_EQ(authority.ExecuteWithPrivileges(form, SIM_PRIVILEGED_CHILD, {}, &pid, &stdin_fd), EPERM);
      continue;
    }
    ::setenv("MIROVANE_MACHINE", machine.root().c_str(), 1);
    ASSERT_EQ(authority.ExecuteWithPrivileges(form, SIM_PRIVILEGED_CHILD, {}, &pid, &stdin_fd), 0);
    ASSERT_EQ(::write(stdin_fd, form.data(), form.size()), 32);
    ::close(stdin_fd);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), expected);
  }
}

TEST(RegistryE2ETest, ControlCommandCreatesStartsAndStopsWithoutLeftovers) {
  platform::testing::TempDir dir;
  std::string root = dir.Sub("machine");
  std::string program = TestMachine::ControlProgram();
  auto run = [&](const std::string& words) {
    return std::system((program + " " + words + " >/dev/null 2>&1").c_str());
  };
  ASSERT_EQ(run("create " + root + " --disks 2 --disk-size 8M"), 0);
  EXPECT_NE(run("create " + root), 0);  // never over an existing machine
  ASSERT_EQ(run("up " + root), 0);
  EXPECT_NE(run("up " + root), 0);  // one daemon per machine
  std::string pid_text = platform::testing::ReadFile(root + "/run/machine.pid");
  pid_t pid = static_cast<pid_t>(std::atol(pid_text.c_str()));
  ASSERT_GT(pid, 0);
  EXPECT_EQ(run("status " + root), 0);
  EXPECT_EQ(::access((root + "/dev/rdisk1").c_str(), F_OK), 0);
  ASSERT_EQ(run("down " + root), 0);
  EXPECT_NE(::kill(pid, 0), 0);
  for (const char* leftover : {"/run/machine.sock", "/run/machine.pid", "/run/generation", "/dev/rdisk1"}) {
    EXPECT_NE(::access((root + leftover).c_str(), F_OK), 0) << leftover;
  }
  EXPECT_EQ(run("down " + root), 0);  // down twice is no error
  EXPECT_NE(run("status " + root), 0);
}

}  // namespace
}  // namespace sim
