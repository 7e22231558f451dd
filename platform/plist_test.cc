#include "platform/plist.h"

#include <gtest/gtest.h>

#include "platform/testing/temp_dir.h"

namespace platform {
namespace {

Property Sample() {
  PropertyDictionary inner{{"Channel", Property::Integer(1)},
                           {"device_type", Property::Data("ata\0", 4)}};
  return Property::Dictionary({
      {"BSD Name", Property::String("disk2s3")},
      {"Size", Property::Integer(80026361856)},
      {"Ejectable", Property::Boolean(false)},
      {"Mirovane Volume ID", Property::Integer(static_cast<int64_t>(0xFEDCBA9876543210ULL))},
      {"children", Property::Array({Property::Dictionary(inner), Property::String("x")})},
  });
}

TEST(PlistTest, RoundTripKeepsEveryTypeAndValue) {
  Property original = Sample();
  auto parsed = ParseXmlPropertyList(ToXmlPropertyList(original));
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(*parsed, original);
  EXPECT_EQ(static_cast<uint64_t>(*parsed->Find("Mirovane Volume ID")->AsInteger()),
            0xFEDCBA9876543210ULL);
}

TEST(PlistTest, ReadsAPropertyListWrittenByHand) {
  auto parsed = ParseXmlPropertyList(R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
  <key>Name</key><string>Mirovane</string>
  <key>Timeout</key><integer>120</integer>
  <key>On</key><true/>
  <key>Blob</key><data>AAEC</data>
</dict></plist>)");
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(*parsed->Find("Name")->AsString(), "Mirovane");
  EXPECT_EQ(parsed->Find("Timeout")->AsInteger(), 120);
  EXPECT_EQ(parsed->Find("On")->AsBoolean(), true);
  EXPECT_EQ(*parsed->Find("Blob")->AsData(), (PropertyData{0, 1, 2}));
  EXPECT_EQ(parsed->Find("Missing"), nullptr);
}

TEST(PlistTest, RefusesTextThatIsNotAPropertyList) {
  for (const char* text : {"", "not xml", "<plist><dict><key>a</key>", "<html></html>"}) {
    EXPECT_FALSE(ParseXmlPropertyList(text).has_value()) << text;
  }
}

TEST(PlistTest, FileRoundTripReplacesTheFileWhole) {
  testing::TempDir dir;
  std::string path = dir.Sub("prefs.plist");
  ASSERT_TRUE(WriteXmlPropertyListFile(path, Sample()));
  auto back = ReadXmlPropertyListFile(path);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, Sample());
  EXPECT_FALSE(ReadXmlPropertyListFile(dir.Sub("missing.plist")).has_value());
}

}  // namespace
}  // namespace platform
