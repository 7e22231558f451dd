// The firmware boot path on a running simulated machine: SetBootPath runs the
// machine's own nvram, and GetBootPath reads the value back from the registry's
// IODeviceTree:/options, where the firmware shows it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "common/boot_path.h"
#include "common/registry_lookup.h"
#include "platform/host.h"
#include "sim/testing/test_machine.h"

namespace {

constexpr char kDeviceTreePrefix[] = "IODeviceTree:";
constexpr char kBootFileSuffix[] = ",\\\\:tbxi";  // comma, two backslashes, ":tbxi"

// Sets an environment variable for the life of the object (nvram, a child, finds
// its machine by it), then puts back what was there.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
    if (const char* old = ::getenv(name)) previous_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnvironment() {
    if (previous_) {
      ::setenv(name_, previous_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  const char* name_;
  std::optional<std::string> previous_;
};

TEST(BootPathE2ETest, TheBootPathSetThroughNvramIsReadBackFromTheRegistry) {
  sim::testing::TestMachine machine({.disk_count = 2});
  ASSERT_TRUE(machine.up());
  auto host = machine.NewHost();
  platform::ScopedHost installed(*host);
  ScopedEnvironment for_nvram("MIROVANE_MACHINE", machine.root());
  ASSERT_EQ(::access(machine.Resolve("/usr/sbin/nvram").c_str(), X_OK), 0)
      << "the stand-in nvram is installed";

  struct Case {
    const char* disk;
    bool with_prefix;  // the device path as the registry gives it, or without "IODeviceTree:"
  } cases[] = {{"disk0", true}, {"disk1", false}, {"disk0", false}, {"disk1", true}};
  std::string last;
  for (const Case& c : cases) {
    const platform::RegistryEntry medium = GetIOKitObjectWithBSDName(c.disk);
    ASSERT_TRUE(medium) << c.disk;
    const std::optional<std::string> tree_path =
        host->registry().GetPath(medium, platform::Plane::kDeviceTree);
    ASSERT_TRUE(tree_path.has_value()) << c.disk << " is in the device tree";
    ASSERT_EQ(tree_path->rfind(kDeviceTreePrefix, 0), 0u) << *tree_path;
    const std::string device = tree_path->substr(sizeof kDeviceTreePrefix - 1);
    const std::string given = c.with_prefix ? *tree_path : device;
    SCOPED_TRACE(given);

    ASSERT_EQ(SetBootPath(given.c_str()), 1);
    char read_back[kBootPathArgumentBufferSize];
    ASSERT_EQ(GetBootPath(read_back, sizeof read_back), 1);
    EXPECT_EQ(std::string(read_back), device + kBootFileSuffix);
    // What the firmware holds names the medium again.
    EXPECT_EQ(GetIOKitObjectWithOpenFirmwarePath(device.c_str()), medium);
    last = device + kBootFileSuffix;
  }
  EXPECT_EQ(host->firmware().GetVariable("boot-device"), std::optional<std::string>(last))
      << "the firmware holds the last one set";
}

}  // namespace
