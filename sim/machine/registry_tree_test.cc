#include "sim/machine/registry_tree.h"

#include <gtest/gtest.h>

namespace sim {
namespace {

using platform::Property;

struct Tree {
  RegistryTree tree;
  RegistryNode* pci = nullptr;
  RegistryNode* bus = nullptr;
  RegistryNode* driver = nullptr;
  RegistryNode* whole = nullptr;
  RegistryNode* part = nullptr;
  Tree() {
    pci = tree.Add(tree.root(), "pci", "f4000000", "AppleMacRiscPCI", {}, true);
    bus = tree.Add(pci, "ata-6", "d", "AppleKauaiATA",
                   {{"Protocol Characteristics", Property::String("outer")}}, true);
    driver = tree.Add(bus, "IOBlockStorageDriver", "", "IOBlockStorageDriver", {}, false);
    whole = tree.Add(driver, "Disk Media", "", "IOMedia", {{"BSD Name", Property::String("disk0")}}, false);
    tree.AttachToDeviceTree(whole, bus, '/', "@0");
    part = tree.Add(whole, "Untitled 3", "3", "IOMedia", {{"BSD Name", Property::String("disk0s3")}}, false);
    tree.AttachToDeviceTree(part, whole, ':', "3");
  }
};

TEST(RegistryTreeTest, PathsInBothPlanesLeadBackToTheirEntries) {
  Tree t;
  struct Case {
    RegistryNode* node;
    const char* service;
    const char* device_tree;
  } cases[] = {
      {t.tree.root(), "IOService:/", "IODeviceTree:/"},
      {t.bus, "IOService:/pci@f4000000/ata-6@d", "IODeviceTree:/pci@f4000000/ata-6@d"},
      {t.driver, "IOService:/pci@f4000000/ata-6@d/IOBlockStorageDriver", nullptr},
      {t.part, "IOService:/pci@f4000000/ata-6@d/IOBlockStorageDriver/Disk Media/Untitled 3@3",
       "IODeviceTree:/pci@f4000000/ata-6@d/@0:3"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(t.tree.Path(*c.node, Plane::kService), c.service);
    EXPECT_EQ(t.tree.FromPath(c.service), c.node) << c.service;
    if (c.device_tree == nullptr) {
      EXPECT_FALSE(t.tree.Path(*c.node, Plane::kDeviceTree));
    } else {
      EXPECT_EQ(t.tree.Path(*c.node, Plane::kDeviceTree), c.device_tree);
      EXPECT_EQ(t.tree.FromPath(c.device_tree), c.node) << c.device_tree;
    }
  }
  EXPECT_EQ(t.tree.FromPath("/pci@f4000000"), nullptr);  // a path needs its plane
}

TEST(RegistryTreeTest, MatchingUsesSuperclassesBsdNamesAndOpenFirmwarePaths) {
  Tree t;
  EXPECT_EQ(t.tree.Match(Matching::ServiceMatching("IOStorage"), false),
            (std::vector<RegistryNode*>{t.driver, t.whole, t.part}));
  EXPECT_EQ(t.tree.Match(Matching::BSDNameMatching("disk0s3"), false), std::vector<RegistryNode*>{t.part});
  EXPECT_EQ(t.tree.Match(Matching::OpenFirmwarePathMatching("/pci@f4000000/ata-6@d/@0"), true),
            std::vector<RegistryNode*>{t.whole});
  Matching both = Matching::ServiceMatching("IOMedia");
  both.properties["BSD Name"] = Property::String("disk0");
  EXPECT_EQ(t.tree.Match(both, false), std::vector<RegistryNode*>{t.whole});
  // A cycle in described classes ends the walk instead of hanging.
  t.tree.classes().Add("Ouro", "Boros");
  t.tree.classes().Add("Boros", "Ouro");
  EXPECT_FALSE(t.tree.classes().IsA("Ouro", "IOService"));
}

TEST(RegistryTreeTest, TerminatedEntriesLeaveThePlanesButStillAnswerSearches) {
  Tree t;
  std::vector<RegistryNode*> gone = t.tree.Terminate(t.driver);
  EXPECT_EQ(gone, (std::vector<RegistryNode*>{t.part, t.whole, t.driver}));  // children first
  EXPECT_TRUE(t.tree.Match(Matching::ServiceMatching("IOMedia"), false).empty());
  EXPECT_FALSE(t.tree.Path(*t.part, Plane::kService));
  EXPECT_TRUE(t.tree.Children(*t.bus, Plane::kService).empty());
  EXPECT_EQ(t.tree.Find(t.part->id), t.part);
  const Property* found = t.tree.Search(*t.part, "Protocol Characteristics", Plane::kService,
                                        platform::kIterateParents);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(*found->AsString(), "outer");
  EXPECT_EQ(t.tree.Search(*t.part, "Protocol Characteristics", Plane::kService, 0), nullptr);
  EXPECT_TRUE(t.tree.Terminate(t.driver).empty());  // once is enough
}

}  // namespace
}  // namespace sim
