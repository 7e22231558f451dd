#include "common/boot_path.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "common/testing/script.h"
#include "common/testing/tree_registry.h"
#include "platform/testing/fake_host.h"
#include "platform/testing/temp_dir.h"

namespace {

using common_testing::ShellQuote;
using common_testing::TreeRegistry;
using platform::Property;
using platform::RegistryEntry;
using platform::testing::ReadFile;

// A registry whose IODeviceTree:/options entry serves the "boot-device" value that
// the fake nvram last recorded.
class NvramBackedRegistry : public TreeRegistry {
 public:
  explicit NvramBackedRegistry(std::string record) : record_(std::move(record)) {
    options_ = Add({}, "IODTNVRAM", "options", {}, "/options");
  }
  std::optional<Property> GetProperty(RegistryEntry entry, std::string_view key) override {
    if (entry == options_ && key == "boot-device") {
      std::string line = ReadFile(record_);
      constexpr std::string_view kAssign = "boot-device=";
      if (line.compare(0, kAssign.size(), kAssign) != 0) return {};
      return Property::String(line.substr(kAssign.size()));
    }
    return TreeRegistry::GetProperty(entry, key);
  }

 private:
  std::string record_;
  RegistryEntry options_;
};

class BootPathTest : public ::testing::Test {
 protected:
  BootPathTest() : record_(host_.root() + "/nvram-argument"), registry_(record_) {
    host_.SetRegistry(&registry_);
  }

  // nvram that records its only argument and exits with `status`.
  void InstallNvram(int status = 0) {
    ASSERT_TRUE(common_testing::WriteShellScript(
        host_.Resolve("/usr/sbin/nvram"),
        "[ $# -eq 1 ] || exit 9\nprintf '%s' \"$1\" > " + ShellQuote(record_) +
            "\nexit " + std::to_string(status)));
  }

  platform::testing::FakeHost host_;
  std::string record_;
  NvramBackedRegistry registry_;
};

TEST_F(BootPathTest, ReadsBackWhatItWroteWithOrWithoutTheDeviceTreePrefix) {
  InstallNvram();
  const std::string device = "/pci@f2000000/mac-io@17/ata-4@1f000/@0:3";
  const std::string expected = device + ",\\\\:tbxi";
  for (const std::string& path : {device, "IODeviceTree:" + device}) {
    (void)std::remove(record_.c_str());
    ASSERT_EQ(SetBootPath(path.c_str()), 1) << path;
    EXPECT_EQ(ReadFile(record_), "boot-device=" + expected) << path;

    char buffer[256];
    std::memset(buffer, 'X', sizeof buffer);
    ASSERT_EQ(GetBootPath(buffer, sizeof buffer), 1);
    EXPECT_EQ(std::string(buffer), expected);
    EXPECT_EQ(buffer[sizeof buffer - 1], '\0') << "the whole buffer is zeroed first";
  }
}

TEST_F(BootPathTest, OnlyALeadingDeviceTreePrefixIsDropped) {
  InstallNvram();
  struct Case {
    const char* path;
    const char* argument;
  };
  const Case cases[] = {
      {"IODeviceTree:", "boot-device=,\\\\:tbxi"},
      {"", "boot-device=,\\\\:tbxi"},
      {"/a/IODeviceTree:/b", "boot-device=/a/IODeviceTree:/b,\\\\:tbxi"},
      {"iodevicetree:/b", "boot-device=iodevicetree:/b,\\\\:tbxi"},
      {"IODeviceTree:IODeviceTree:/b", "boot-device=IODeviceTree:/b,\\\\:tbxi"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(SetBootPath(c.path), 1) << c.path;
    EXPECT_EQ(ReadFile(record_), c.argument) << c.path;
  }
  EXPECT_EQ(SetBootPath(nullptr), 0);
}

TEST_F(BootPathTest, ArgumentThatWouldNotFitIsRefusedNotCut) {
  InstallNvram();
  // "boot-device=" (12) + path + suffix (8) must leave room for the NUL in 1056 bytes.
  const std::string fits(1056 - 1 - 12 - 8, 'p');
  const std::string too_long = fits + "q";

  ASSERT_EQ(SetBootPath(fits.c_str()), 1);
  EXPECT_EQ(ReadFile(record_).size(), 1055u);

  (void)std::remove(record_.c_str());
  EXPECT_EQ(SetBootPath(too_long.c_str()), 0);
  EXPECT_EQ(ReadFile(record_), "") << "nvram must not run";

  // The prefix is dropped before the length counts.
  const std::string prefixed = "IODeviceTree:" + fits;
  EXPECT_EQ(SetBootPath(prefixed.c_str()), 1);
}

TEST_F(BootPathTest, NvramFailuresAreFailures) {
  // No nvram at all: the child cannot start its tool and must not report success.
  EXPECT_EQ(SetBootPath("/pci/disk@0:3"), 0);

  InstallNvram(1);
  EXPECT_EQ(SetBootPath("/pci/disk@0:3"), 0);

  ASSERT_TRUE(common_testing::WriteShellScript(host_.Resolve("/usr/sbin/nvram"),
                                               "kill -KILL $$"));
  EXPECT_EQ(SetBootPath("/pci/disk@0:3"), 0);

  // Present but not executable.
  ASSERT_TRUE(platform::testing::WriteFile(host_.Resolve("/usr/sbin/nvram"), "#!/bin/sh\n"));
  ASSERT_EQ(::chmod(host_.Resolve("/usr/sbin/nvram").c_str(), 0644), 0);
  EXPECT_EQ(SetBootPath("/pci/disk@0:3"), 0);
}

TEST_F(BootPathTest, GetBootPathFailsWithAZeroedBuffer) {
  TreeRegistry registry;
  host_.SetRegistry(&registry);
  RegistryEntry options = registry.Add({}, "IODTNVRAM", "options", {}, "/options");
  const std::string path = "/pci@f2000000/ata-6@d/disk@0:3,\\\\:tbxi";

  struct Case {
    const char* name;
    std::optional<Property> value;
    size_t size;
    const char* expected;  // nullptr: false
  };
  const Case cases[] = {
      {"string", Property::String(path), 64, path.c_str()},
      {"exact fit", Property::String(path), path.size() + 1, path.c_str()},
      {"one byte short", Property::String(path), path.size(), nullptr},
      {"data with its terminator", Property::Data(path.c_str(), path.size() + 1), 64,
       path.c_str()},
      {"data without a terminator", Property::Data(path.data(), path.size()), 64, path.c_str()},
      {"empty", Property::String(""), 8, ""},
      {"number", Property::Integer(3), 64, nullptr},
      {"not ASCII", Property::String("/pci/\xC3\xA9"), 64, nullptr},
      {"missing", std::nullopt, 64, nullptr},
  };
  for (const Case& c : cases) {
    registry.Remove(options);
    options = registry.Add({}, "IODTNVRAM", "options", {}, "/options");
    if (c.value) registry.SetProperty(options, "boot-device", *c.value);

    char buffer[64];
    std::memset(buffer, 'X', sizeof buffer);
    const Boolean ok = GetBootPath(buffer, c.size);
    EXPECT_EQ(ok != 0, c.expected != nullptr) << c.name;
    if (c.expected != nullptr) {
      EXPECT_STREQ(buffer, c.expected) << c.name;
    }
    const size_t text = c.expected ? std::strlen(c.expected) : 0;
    EXPECT_EQ(std::string(buffer, c.size).find_first_not_of('\0', text), std::string::npos)
        << c.name << ": the rest of the buffer is zero";
  }

  char buffer[8];
  EXPECT_EQ(GetBootPath(nullptr, 8), 0);
  EXPECT_EQ(GetBootPath(buffer, 0), 0);
  registry.Remove(options);
  std::memset(buffer, 'X', sizeof buffer);
  EXPECT_EQ(GetBootPath(buffer, sizeof buffer), 0) << "no options entry";
  EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, '\0'));
}

}  // namespace
