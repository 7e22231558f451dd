#include "sim/control/cli.h"

#include <gtest/gtest.h>

#include <sstream>

#include "sim/control/machine_control.h"

namespace sim {
namespace {

TEST(ControlCommandTest, SizesAndTypedValuesAreReadAsWritten) {
  struct SizeCase {
    const char* text;
    int64_t bytes;
  } sizes[] = {{"4096", 4096}, {"64k", 64 << 10}, {"256M", 256 << 20}, {"2G", 2ll << 30},
               {"0x200", 512},  {"", -1},         {"-5", -1},          {"12X", -1},
               {"99999999999G", -1}};
  for (const SizeCase& c : sizes) EXPECT_EQ(ParseSize(c.text), c.bytes) << c.text;

  struct ValueCase {
    const char* text;
    std::optional<Property> value;
  } values[] = {
      {"integer:42", Property::Integer(42)},
      {"integer:0xfedcba9876543210", Property::Integer(static_cast<int64_t>(0xfedcba9876543210ULL))},
      {"integer:-3", Property::Integer(-3)},
      {"integer:ten", std::nullopt},
      {"bool:true", Property::Boolean(true)},
      {"bool:maybe", std::nullopt},
      {"data:00ff10", Property::Data(std::vector<uint8_t>{0x00, 0xff, 0x10})},
      {"data:0", std::nullopt},
      {"data:zz", std::nullopt},
      {"string:a:b", Property::String("a:b")},
      {"plain text", Property::String("plain text")},
  };
  for (const ValueCase& c : values) EXPECT_EQ(ParseTypedValue(c.text), c.value) << c.text;
}

TEST(ControlCommandTest, WrongCommandLinesAreUsageErrors) {
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {}, {"up"}, {"fly", "/tmp/x"}, {"attach", "/tmp/x", "only-image"},
           {"image", "/tmp/x", "a/b.img", "1M"}, {"image", "/tmp/x", "a.img", "tiny"},
           {"fault", "/tmp/x", "io-error"},  // only a hold goes without a device
           {"fault", "/tmp/x", "hold-registry-notifications", "--seconds", "soon"},
           {"release-registry-notifications", "/tmp/x", "disk1", "disk2"}}) {
    std::ostringstream out, err;
    EXPECT_EQ(RunCommand(args, "/nonexistent/mirovane-machine", out, err), 1) << ::testing::PrintToString(args);
    EXPECT_NE(err.str().find("usage:"), std::string::npos);
  }
}

}  // namespace
}  // namespace sim
