// The stand-in tools on a running machine, run at their machine paths as the
// system's programs run them.

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>

#include "platform/host.h"
#include "platform/testing/temp_dir.h"
#include "sim/testing/test_machine.h"
#include "sim/tools/tool_support.h"

namespace sim::tools {
namespace {

using platform::Property;
using platform::testing::ReadFile;
using sim::testing::RunResult;
using sim::testing::TestMachine;
using sim::testing::TestMachineOptions;

// Polls `done` every 20 ms for at most 20 s.
bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 1000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

std::string Text(const platform::PropertyDictionary& d, const char* key) {
  auto it = d.find(key);
  return it != d.end() && it->second.AsString() ? *it->second.AsString() : std::string();
}

class ToolsE2ETest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(machine_.up()); }

  // Attaches a disk whose Apple partition map has one HFS partition; its BSD name.
  std::string AttachPartitionedDisk() {
    std::string image = machine_.CreateImage("parted.img", 64 << 20);
    std::string command = "parted -s " + image + " mklabel mac mkpart Data hfs+ 1MiB 40MiB >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) {
      ADD_FAILURE() << "parted could not label " << image;
      return "";
    }
    if (machine_.AttachDisk(image, "usb0").empty()) return "";
    for (const Property& m : machine_.control().Media()) {
      const auto& medium = *m.AsDictionary();
      if (Text(medium, "content") == "Apple_HFS" && Text(medium, "image") == image) return Text(medium, "bsd");
    }
    ADD_FAILURE() << "the machine shows no Apple_HFS partition";
    return "";
  }

  RunResult Tool(const std::string& machine_path, const std::vector<std::string>& args) {
    return machine_.Run(machine_.Resolve(machine_path), args, "", 60);
  }

  // The machine's volume entry for `bsd`.
  platform::PropertyDictionary Volume(const std::string& bsd) {
    for (const Property& v : machine_.control().Volumes()) {
      if (Text(*v.AsDictionary(), "bsd") == bsd) return *v.AsDictionary();
    }
    return {};
  }

  bool Journaled(const std::string& bsd) {
    auto v = Volume(bsd);
    auto it = v.find("journaled");
    return it != v.end() && it->second.AsBoolean().value_or(false);
  }

  // Disk Arbitration's table, as a process on the machine sees it.
  std::vector<MountedVolume> DiskArbitrationTable() {
    auto host = machine_.NewHost();
    platform::ScopedHost scoped(*host);
    auto volumes = ListDiskArbitrationVolumes(10.0);
    EXPECT_TRUE(volumes.has_value());
    return volumes.value_or(std::vector<MountedVolume>{});
  }

  TestMachine machine_{TestMachineOptions{.disk_count = 1}};
};

TEST_F(ToolsE2ETest, NewfsHfsMakesAnHfsVolumeThatDiskArbitrationNames) {
  std::string bsd = AttachPartitionedDisk();
  ASSERT_FALSE(bsd.empty());
  RunResult r = Tool("/sbin/newfs_hfs", {"-v", "Fresh Volume", "/dev/r" + bsd});
  ASSERT_EQ(r.exit_status, 0) << r.err;

  const MountedVolume* seen = nullptr;
  std::vector<MountedVolume> table;
  ASSERT_TRUE(WaitFor([&] {
    table = DiskArbitrationTable();
    seen = nullptr;
    for (const MountedVolume& v : table) {
      if (v.bsd_name == bsd) seen = &v;
    }
    return seen != nullptr && seen->volume_name == "Fresh Volume";
  }));
  EXPECT_EQ(seen->fs_type, "hfs");
  EXPECT_FALSE(Journaled(bsd));

  // Journaling by mount point, once the volume is mounted (as the action program
  // would ask Disk Arbitration to).
  auto host = machine_.NewHost();
  ASSERT_EQ(host->disk_arbitration().Start(), 0);
  ASSERT_EQ(host->disk_arbitration().RequestMount(bsd), 0);
  std::string mount_point;
  ASSERT_TRUE(WaitFor([&] { return !(mount_point = Text(Volume(bsd), "mount_point")).empty(); }));
  r = Tool("/usr/sbin/diskutil", {"enableJournal", mount_point + "/"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(WaitFor([&] { return Journaled(bsd); }));
  r = Tool("/usr/sbin/diskutil", {"disableJournal", mount_point});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(WaitFor([&] { return !Journaled(bsd); }));

  // Ownership is recorded for the mounted volume.
  ASSERT_EQ(Tool("/usr/sbin/vsdbutil", {"-a", mount_point}).exit_status, 0);
  EXPECT_NE(ReadFile(machine_.Resolve("/var/db/volinfo.database")).find(mount_point + "\tenabled"),
            std::string::npos);

  // Blessing a folder of the volume as the startup disk points the firmware at it.
  auto tree_path = host->registry().GetPath(
      host->registry().GetMatchingService(platform::Matching::BSDNameMatching(bsd)), platform::Plane::kDeviceTree);
  ASSERT_TRUE(tree_path.has_value());
  r = Tool("/usr/sbin/bless", {"-folder", mount_point, "-setboot"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  r = Tool("/usr/sbin/nvram", {"boot-device"});
  EXPECT_EQ(r.out, "boot-device\t" + tree_path->substr(std::string("IODeviceTree:").size()) + ",\\\\:tbxi\n");
}

TEST_F(ToolsE2ETest, CaseSensitiveJournaledAndUfsVolumesReadAsSuch) {
  std::string bsd = AttachPartitionedDisk();
  ASSERT_FALSE(bsd.empty());
  RunResult r = Tool("/sbin/newfs_hfs", {"-J", "-s", "-v", "Sensitive", "/dev/r" + bsd});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  ASSERT_TRUE(WaitFor([&] { return Text(Volume(bsd), "name") == "Sensitive"; }));
  EXPECT_EQ(Text(Volume(bsd), "fs_type"), "hfs");
  EXPECT_TRUE(Journaled(bsd));
  {
    auto host = machine_.NewHost();
    auto device = host->raw_devices().Open("/dev/r" + bsd, platform::kBsdOpenReadOnly);
    ASSERT_NE(device, nullptr);
    char sector[512];
    ASSERT_EQ(device->Seek(1024), 1024);
    ASSERT_EQ(device->Read(sector, sizeof sector), 512);
    EXPECT_EQ(std::string(sector, 2), "HX");
  }

  r = Tool("/sbin/newfs", {"-v", "Unix", "/dev/r" + bsd});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(WaitFor([&] { return Text(Volume(bsd), "fs_type") == "ufs"; }));
  EXPECT_EQ(Text(Volume(bsd), "name"), "Unix");
}

TEST_F(ToolsE2ETest, NvramAndBlessChangeTheFirmwareTheRegistryShows) {
  auto host = machine_.NewHost();
  platform::Registry& registry = host->registry();
  auto boot_device = [&] {
    auto value = registry.GetProperty(registry.EntryFromPath("IODeviceTree:/options"), "boot-device");
    return value && value->AsString() ? *value->AsString() : std::string("(none)");
  };

  const std::string path = "/pci@f2000000/scsi@4/@1:5,\\\\:tbxi";
  RunResult r = Tool("/usr/sbin/nvram", {"boot-device=" + path});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(boot_device(), path);
  r = Tool("/usr/sbin/nvram", {"boot-device"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, "boot-device\t" + path + "\n");

  std::string bsd = AttachPartitionedDisk();
  ASSERT_FALSE(bsd.empty());
  auto entry = registry.GetMatchingService(platform::Matching::BSDNameMatching(bsd));
  auto tree_path = registry.GetPath(entry, platform::Plane::kDeviceTree);
  ASSERT_TRUE(tree_path.has_value());
  r = Tool("/usr/sbin/bless", {"-device", "/dev/" + bsd, "-setboot"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(boot_device(), tree_path->substr(std::string("IODeviceTree:").size()) + ",\\\\:tbxi");
  EXPECT_NE(ReadFile(machine_.Resolve("/var/log/bless.log")).find("\t-device\t/dev/" + bsd + "\t-setboot\n"),
            std::string::npos);
}

TEST_F(ToolsE2ETest, KextdRunsUnderItsNameAndLogsHangups) {
  // The machine starts kextd; its log names its pid.
  const std::string log = machine_.Resolve("/var/log/kextd.log");
  pid_t pid = 0;
  ASSERT_TRUE(WaitFor([&] {
    std::string text = ReadFile(log);
    size_t at = text.find("kextd[");
    if (at == std::string::npos || text.find("]: started", at) == std::string::npos) return false;
    pid = static_cast<pid_t>(std::stol(text.substr(at + 6)));
    return true;
  })) << ReadFile(log);

  RunResult ps = Tool("/bin/ps", {"axww"});
  ASSERT_EQ(ps.exit_status, 0);
  std::istringstream lines(ps.out);
  std::string line, command;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    int listed = 0;
    std::string tty, state, time;
    if (words >> listed >> tty >> state >> time >> command && listed == pid) break;
    command.clear();
  }
  EXPECT_EQ(command, "kextd");

  ASSERT_EQ(::kill(pid, SIGHUP), 0);
  std::string tag = "kextd[" + std::to_string(pid) + "]: ";
  EXPECT_TRUE(WaitFor([&] { return ReadFile(log).find(tag + "SIGHUP 1\n") != std::string::npos; }));

  // SystemUIServer runs as well, so the monitor's wait for a user ends.
  EXPECT_TRUE(WaitFor([&] {
    return ReadFile(machine_.Resolve("/var/log/SystemUIServer.log")).find("]: started") != std::string::npos;
  }));

  // Stopping the machine ends kextd with its own clean stop.
  ASSERT_TRUE(machine_.Stop());
  EXPECT_NE(ReadFile(log).find(tag + "stopped\n"), std::string::npos);
}

}  // namespace
}  // namespace sim::tools
