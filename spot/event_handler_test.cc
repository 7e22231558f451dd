#include "spot/event_handler.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/testing/fake_host.h"
#include "platform/testing/image_raw_devices.h"
#include "platform/testing/temp_dir.h"
#include "spot/testing/fake_disk_arbitration.h"
#include "spot/testing/notifying_registry.h"
#include "spot/testing/record_channel.h"

namespace {

// Fields of the packed records are compared as copies (unary +): the test macros take
// references, and a reference to a packed field may be misaligned.

using platform::Property;
using platform::PropertyDictionary;
using platform::RegistryEntry;

Property Str(const std::string& s) { return Property::String(s); }
Property Int(int64_t v) { return Property::Integer(v); }
Property Dict(PropertyDictionary d) { return Property::Dictionary(std::move(d)); }

PropertyDictionary Medium(const std::string& bsd, int64_t size, PropertyDictionary extra = {}) {
  PropertyDictionary d = {{"BSD Name", Str(bsd)},
                          {"Size", Int(size)},
                          {"Preferred Block Size", Int(512)},
                          {"Ejectable", Property::Boolean(false)}};
  for (auto& [k, v] : extra) d[k] = v;
  return d;
}

struct VolumeExpectation {
  const char* bsd;
  MVUID id;
  const char* name;
  const char* mount;
  VolumeFormat format;
  uint8_t journaled, bootable;
  uint64_t size;
};

void ExpectVolumeAppeared(const std::optional<SpotEventRec>& r, const VolumeExpectation& e) {
  ASSERT_TRUE(r.has_value()) << "no record for " << e.bsd;
  EXPECT_EQ(+r->eventType, kSpotVolumeAppeared) << e.bsd;
  EXPECT_EQ(FieldText(r->bsdName), e.bsd);
  const VolumeAppearedRec& v = r->payload.volumeAppeared;
  EXPECT_EQ(+v.volumeID, e.id) << e.bsd;
  EXPECT_EQ(FieldText(v.volumeName), e.name) << e.bsd;
  EXPECT_EQ(FieldText(v.mountPoint), e.mount) << e.bsd;
  EXPECT_EQ(+v.format, e.format) << e.bsd;
  EXPECT_EQ(+v.journaled, e.journaled) << e.bsd;
  EXPECT_EQ(+v.bootable, e.bootable) << e.bsd;
  EXPECT_EQ(+v.size, e.size) << e.bsd;
}

void ExpectVolumeChanged(const std::optional<SpotEventRec>& r, const VolumeExpectation& e) {
  ASSERT_TRUE(r.has_value()) << "no record for " << e.bsd;
  EXPECT_EQ(+r->eventType, kSpotVolumeChanged) << e.bsd;
  EXPECT_EQ(FieldText(r->bsdName), e.bsd);
  const VolumeChangedRec& v = r->payload.volumeChanged;
  EXPECT_EQ(FieldText(v.volumeName), e.name) << e.bsd;
  EXPECT_EQ(FieldText(v.mountPoint), e.mount) << e.bsd;
  EXPECT_EQ(+v.format, e.format) << e.bsd;
  EXPECT_EQ(+v.journaled, e.journaled) << e.bsd;
  EXPECT_EQ(+v.bootable, e.bootable) << e.bsd;
  EXPECT_EQ(+v.size, e.size) << e.bsd;
}

void ExpectDisk(const std::optional<SpotEventRec>& r, SpotEventType type, const char* bsd,
                bool partition) {
  ASSERT_TRUE(r.has_value()) << "no record for " << bsd;
  EXPECT_EQ(+r->eventType, type) << bsd;
  EXPECT_EQ(FieldText(r->bsdName), bsd);
  EXPECT_EQ(+r->payload.diskAppeared.isPartition, partition ? 1 : 0) << bsd;
}

// A machine with an ATA disk (disk2, two partitions) present before the watcher starts.
class EventHandlerTest : public ::testing::Test {
 protected:
  EventHandlerTest() {
    host_.SetRegistry(&registry_);
    host_.SetDiskArbitration(&disk_arb_);
    host_.SetRawDevices(&devices_);
    root_ = registry_.Add({}, "IOPlatformExpertDevice", "PowerMac3,6");
    registry_.Add(root_, "IOService", "scsi@3", {{"device_type", Str("scsi")}});
    ata_ = registry_.Add(root_, "IOService", "ata-6@d", {{"device_type", Str("ata")}});
    registry_.Add(ata_, "IOATAController", "chan@0", {{"Channel", Int(0)}});
    const RegistryEntry channel1 =
        registry_.Add(ata_, "IOATAController", "chan@1", {{"Channel", Int(1)}});
    ata_device_ = registry_.Add(
        channel1, "IOBlockStorageDevice", "disk@0",
        {{"Protocol Characteristics", Dict({{"Physical Interconnect", Str("ATA")}})},
         {"Device Characteristics",
          Dict({{"Vendor Name", Str("Maxtor")}, {"Product Name", Str("6Y080P0")},
                {"Product Revision Level", Str("YAR41BW0")}})},
         {"unit number", Int(1)},
         {"device serial", Str("  Y2ABCDEF  ")},
         {"io-device-location", Property::Data("ATA-1\0", 6)}});
    disk2_ = registry_.Add(ata_device_, "IOMedia", "disk2", Medium("disk2", 80026361856));
    registry_.Add(disk2_, "IOMedia", "disk2s1", Medium("disk2s1", 32768));
    registry_.Add(disk2_, "IOMedia", "disk2s2", Medium("disk2s2", 40000000000));
  }

  void TearDown() override { EXPECT_EQ(channel_.bad_packets(), 0); }

  void Start() {
    handler_ = std::make_unique<TEventHandler>(channel_.writer());
    ASSERT_EQ(handler_->Start(), 0);
  }
  std::optional<SpotEventRec> Next() { return channel_.Next(0); }
  void ExpectNoRecord(const char* what) {
    const std::optional<SpotEventRec> r = Next();
    EXPECT_FALSE(r.has_value()) << what << ": unexpected record of type "
                                << (r ? static_cast<uint32_t>(r->eventType) : 0u) << " for "
                                << (r ? std::string(FieldText(r->bsdName)) : "");
  }
  // A device on the ATA channel with one whole-disk medium.
  RegistryEntry PublishATADisk(const std::string& bsd, int64_t size) {
    const RegistryEntry device = registry_.Publish(
        ata_, "IOBlockStorageDevice", "disk@1",
        {{"Protocol Characteristics", Dict({{"Physical Interconnect", Str("ATA")}})}});
    registry_.Publish(device, "IOMedia", bsd, Medium(bsd, size));
    return device;
  }
  // An image file behind a raw device; `signature` at byte 1024.
  void AddHFSDevice(const std::string& bsd, uint16_t signature, uint32_t attributes) {
    std::string image(8192, '\0');
    image[1024] = static_cast<char>(signature >> 8);
    image[1025] = static_cast<char>(signature);
    for (int i = 0; i < 4; ++i) image[1028 + i] = static_cast<char>(attributes >> (24 - 8 * i));
    const std::string path = images_.Sub(bsd + ".img");
    ASSERT_TRUE(platform::testing::WriteFile(path, image));
    devices_.AddDevice("/dev/r" + bsd, path);
  }

  platform::testing::FakeHost host_;
  spot_testing::NotifyingRegistry registry_;
  spot_testing::FakeDiskArbitration disk_arb_;
  platform::testing::ImageRawDevices devices_;
  platform::testing::TempDir images_;
  spot_testing::RecordChannel channel_;
  std::unique_ptr<TEventHandler> handler_;
  RegistryEntry root_, ata_, ata_device_, disk2_;
};

TEST_F(EventHandlerTest, StartRegistersWithDiskArbitrationInItsOrder) {
  Start();
  EXPECT_EQ(disk_arb_.starts(), 1);
  const std::vector<std::string> order = {"appeared",     "changed",
                                          "unmount-post", "eject-post",
                                          "update-flags", "handles-unrecognized",
                                          "unrecognized"};
  EXPECT_EQ(disk_arb_.order(), order);
  EXPECT_EQ(disk_arb_.offer_mask(), 0x3C0Fu);
  EXPECT_EQ(disk_arb_.offer_priority(), 20);
  EXPECT_EQ(registry_.live_notifications(), 2);
  handler_.reset();
  EXPECT_EQ(registry_.live_notifications(), 0) << "the handler ends its notifications";
}

TEST_F(EventHandlerTest, DisksPresentAtStartAreReportedWithTheirIdentity) {
  Start();
  const std::optional<SpotEventRec> disk = Next();
  ExpectDisk(disk, kSpotDiskAppeared, "disk2", false);
  const DiskAppearedRec& d = disk->payload.diskAppeared;
  EXPECT_EQ(+d.size, 80026361856u);
  EXPECT_EQ(+d.blockSize, 512u);
  EXPECT_EQ(+d.ident.busType, kBusTypeATA);
  EXPECT_EQ(+d.ident.busNumber, 1u) << "the second channel of the controller";
  EXPECT_EQ(+d.ident.id, 1u);
  EXPECT_EQ(+d.ident.lun, 0u);
  EXPECT_EQ(FieldText(d.vendorText), "Maxtor 6Y080P0 v.YAR41BW0");
  EXPECT_EQ(FieldText(d.identityText), "Y2ABCDEF");
  EXPECT_EQ(+d.isWWN, 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.deviceLocation), 6),
            std::string("ATA-1\0", 6));

  for (const char* name : {"disk2s1", "disk2s2"}) {
    const std::optional<SpotEventRec> part = Next();
    ExpectDisk(part, kSpotDiskAppeared, name, true);
    const DiskAppearedRec& p = part->payload.diskAppeared;
    EXPECT_EQ(+p.ident.busType, kBusTypeATA);
    EXPECT_EQ(+p.ident.busNumber, 0u) << name;
    EXPECT_EQ(+p.ident.id, 0u) << name;
    EXPECT_EQ(+p.vendorText[0], 0) << name;
    EXPECT_EQ(+p.identityText[0], 0) << name;
    EXPECT_EQ(+p.blockSize, 512u);
    EXPECT_EQ(+p.deviceLocation[0], 'A') << "the location is searched above the partition";
  }
  ExpectNoRecord("after the partitions");
}

TEST_F(EventHandlerTest, EjectableAndUnsupportedMediaGiveNoDiskRecord) {
  registry_.Add(ata_device_, "IOMedia", "disk3",
                Medium("disk3", 700000000, {{"Ejectable", Property::Boolean(true)}}));
  const RegistryEntry image = registry_.Add(root_, "IOMedia", "disk4", Medium("disk4", 1 << 20));
  Start();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Next().has_value());  // disk2 and its partitions
  ExpectNoRecord("ejectable or unsupported media");
  EXPECT_EQ(handler_->ReturnVolumeCachePtr()->FindRecWithBSDName("disk4"), nullptr)
      << "nothing is cached for them";

  // The unsupported medium's disappearance is reported: name, partition flag, size only.
  registry_.Terminate(image);
  const std::optional<SpotEventRec> gone = Next();
  ExpectDisk(gone, kSpotDiskDisappeared, "disk4", false);
  EXPECT_EQ(+gone->payload.diskAppeared.size, 1u << 20);
  const SpotEventRec expected = MakeDiskDisappearedEvent("disk4", false, 1 << 20);
  EXPECT_EQ(std::memcmp(&*gone, &expected, sizeof expected), 0) << "every other byte is 0";
}

TEST_F(EventHandlerTest, HotPluggedDisksAppearAndDisappearInOrder) {
  Start();
  (void)channel_.Drain();
  const RegistryEntry device = PublishATADisk("disk5", 4000000);
  registry_.Publish(registry_.GetMatchingService(platform::Matching::BSDNameMatching("disk5")),
                    "IOMedia", "disk5s1", Medium("disk5s1", 1000000));
  ExpectDisk(Next(), kSpotDiskAppeared, "disk5", false);
  ExpectDisk(Next(), kSpotDiskAppeared, "disk5s1", true);

  registry_.Terminate(device);
  ExpectDisk(Next(), kSpotDiskDisappeared, "disk5s1", true);
  const std::optional<SpotEventRec> disk = Next();
  ExpectDisk(disk, kSpotDiskDisappeared, "disk5", false);
  EXPECT_EQ(+disk->payload.diskAppeared.size, 4000000u);
  ExpectNoRecord("after the unplug");
  EXPECT_EQ(handler_->ReturnVolumeCachePtr()->FindRecWithBSDName("disk5"), nullptr);
  EXPECT_EQ(handler_->ReturnVolumeCachePtr()->FindRecWithBSDName("disk5s1"), nullptr);
}

TEST_F(EventHandlerTest, AVolumeIsReportedOnceBothSourcesKnowItInEitherOrder) {
  Start();
  (void)channel_.Drain();
  // The medium first, then Disk Arbitration.
  disk_arb_.DiskAppearedComplete("disk2s2", "Data", "/Volumes/Data", "msdos");
  ExpectVolumeAppeared(Next(), {"disk2s2", 0, "Data", "/Volumes/Data/", kVolumeFormatMSDOS, 0,
                                0, 40000000000});

  // Disk Arbitration first: nothing until the medium appears; then the same form.
  disk_arb_.DiskAppearedComplete("disk6", "Late", "/Volumes/Late", "ufs");
  ExpectNoRecord("before the medium is known");
  PublishATADisk("disk6", 123456789);
  ExpectDisk(Next(), kSpotDiskAppeared, "disk6", false);
  ExpectVolumeAppeared(Next(), {"disk6", 0, "Late", "/Volumes/Late/", kVolumeFormatUFS, 0, 0,
                                123456789});

  // Reported again whenever Disk Arbitration reports it again.
  disk_arb_.DiskAppearedComplete("disk2s2", "Data", "/Volumes/Data", "msdos");
  ExpectVolumeAppeared(Next(), {"disk2s2", 0, "Data", "/Volumes/Data/", kVolumeFormatMSDOS, 0,
                                0, 40000000000});
}

TEST_F(EventHandlerTest, RenamesAndUnmountsOfKnownVolumesAreReported) {
  // A journaled HFS Plus start-up volume.
  AddHFSDevice("disk2s2", 0x482B, 1u << 13);
  for (const char* file : {"System/Library/CoreServices/SystemVersion.plist", "mach_kernel",
                           "System/Library/CoreServices/BootX"}) {
    ASSERT_TRUE(platform::testing::WriteFile(host_.Resolve(std::string("/Volumes/Sys/") + file),
                                             "x"));
  }
  Start();
  (void)channel_.Drain();
  disk_arb_.DiskAppearedComplete("disk2s2", "Sys", "/Volumes/Sys", "hfs");
  ExpectVolumeAppeared(Next(), {"disk2s2", 0, "Sys", "/Volumes/Sys/", kVolumeFormatHFSPlus, 1,
                                1, 40000000000});

  disk_arb_.DiskChanged("disk2s2", "Renamed", "/Volumes/Renamed", 0);
  ExpectNoRecord("a change that did not take effect");
  disk_arb_.DiskChanged("disk9", "Other", "/Volumes/Other", 1);
  ExpectNoRecord("a change of an unknown name");
  disk_arb_.DiskChanged("disk2s2", "Renamed", "/Volumes/Renamed", 1);
  ExpectVolumeChanged(Next(), {"disk2s2", 0, "Renamed", "/Volumes/Renamed/",
                               kVolumeFormatHFSPlus, 1, 1, 40000000000});

  disk_arb_.UnmountPost("disk2s2", 16);
  ExpectNoRecord("a failed unmount");
  disk_arb_.UnmountPost("disk9", 0);
  ExpectNoRecord("an unmount of an unknown name");
  disk_arb_.EjectPost("disk2s2", 0);
  ExpectNoRecord("an eject");
  disk_arb_.UnmountPost("disk2s2", 0);
  ExpectVolumeChanged(Next(), {"disk2s2", 0, "Renamed", "", kVolumeFormatHFSPlus, 1, 0,
                               40000000000});
  ASSERT_NE(handler_->ReturnVolumeCachePtr()->FindRecWithBSDName("disk2s2"), nullptr)
      << "an unmounted volume stays known";
}

TEST_F(EventHandlerTest, VolumesNeedANameAFileSystemAndAFixedMedium) {
  const RegistryEntry reader = registry_.Add(
      root_, "IOService", "reader",
      {{"Protocol Characteristics", Dict({{"Physical Interconnect", Str("USB")}})},
       {"Removable", Property::Boolean(true)}});
  registry_.Add(reader, "IOMedia", "disk3", Medium("disk3", 64000000));
  Start();
  (void)channel_.Drain();
  disk_arb_.DiskAppearedComplete("disk3", "CARD", "/Volumes/CARD", "msdos");
  ExpectNoRecord("a removable medium");
  disk_arb_.DiskAppearedComplete("disk2s2", "", "/Volumes/Untitled", "hfs");
  ExpectNoRecord("no volume name");
  disk_arb_.DiskAppearedComplete("disk2s1", "Map", "", "");
  ExpectNoRecord("no file system");
}

TEST_F(EventHandlerTest, RAIDVolumesAreReportedByIdentityNotAsDisks) {
  const RegistryEntry driver = registry_.Add(root_, "com_mirovane_driver_Mirovane", "Mirovane");
  const RegistryEntry mirror = registry_.Add(
      driver, "IOMedia", "disk7",
      Medium("disk7", 500000000, {{"Mirovane Volume ID", Int(0x00000104A2B3C4D5)},
                                  {"Removable", Property::Boolean(true)}}));
  const RegistryEntry mirror_partition =
      registry_.Add(mirror, "IOMedia", "disk7s1", Medium("disk7s1", 400000000));
  Start();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Next().has_value());  // disk2 and its partitions
  ExpectNoRecord("a RAID volume is no disk");

  // Medium first: the identity is known even though the medium says it is removable.
  disk_arb_.DiskAppearedComplete("disk7", "Mirror", "/Volumes/Mirror", "ufs");
  ExpectVolumeAppeared(Next(), {"disk7", 0x00000104A2B3C4D5, "Mirror", "/Volumes/Mirror/",
                                kVolumeFormatUFS, 0, 0, 500000000});
  // The partition on it is removable too but has no identity of its own.
  disk_arb_.DiskAppearedComplete("disk7s1", "Inner", "/Volumes/Inner", "ufs");
  ExpectNoRecord("a removable medium without identity");

  // Disk Arbitration first, then the new volume published by the driver.
  disk_arb_.DiskAppearedComplete("disk8", "Stripe", "/Volumes/Stripe", "ufs");
  ExpectNoRecord("before the medium is known");
  registry_.Publish(driver, "IOMedia", "disk8",
                    Medium("disk8", 900000000, {{"Mirovane Volume ID", Int(77)}}));
  ExpectVolumeAppeared(Next(), {"disk8", 77, "Stripe", "/Volumes/Stripe/", kVolumeFormatUFS, 0,
                                0, 900000000});

  // Going away: the volume itself is not reported (no supported bus above it), the
  // partition on it is.
  registry_.Terminate(mirror);
  ExpectDisk(Next(), kSpotDiskDisappeared, "disk7s1", true);
  ExpectNoRecord("the RAID volume itself");
  (void)mirror_partition;

  // A RAID volume with a supported bus above it is reported when it goes.
  const RegistryEntry on_bus = registry_.Publish(
      ata_device_, "IOMedia", "disk9", Medium("disk9", 1000, {{"Mirovane Volume ID", Int(5)}}));
  ExpectNoRecord("no disk record for it");
  registry_.Terminate(on_bus);
  ExpectDisk(Next(), kSpotDiskDisappeared, "disk9", false);
}

TEST_F(EventHandlerTest, AppleRAIDSetsAreReportedWithTheirDerivedIdentity) {
  const RegistryEntry set = registry_.Add(
      root_, "IOService", "AppleRAID",
      {{"IOClass", Str("AppleRAID")},
       {"AppleRAID-SetUUID", Str("00112233-4455-6677-8899-AABBCCDDEEFF")}});
  registry_.Add(set, "IOMedia", "disk10", Medium("disk10", 2048));
  Start();
  (void)channel_.Drain();
  disk_arb_.DiskAppearedComplete("disk10", "Set", "/Volumes/Set", "hfs");
  ExpectVolumeAppeared(Next(), {"disk10", 0x88AACCEF11335576, "Set", "/Volumes/Set/",
                                kVolumeFormatHFSPlus, 0, 0, 2048});
}

TEST_F(EventHandlerTest, UnrecognisedDisksAreClaimedForSupportedBusesAndRAIDVolumes) {
  registry_.Add(root_, "IOMedia", "disk7", Medium("disk7", 1, {{"Mirovane Volume ID", Int(9)}}));
  const RegistryEntry raid8 =
      registry_.Add(root_, "IOMedia", "disk8", Medium("disk8", 1, {{"Mirovane Volume ID", Int(8)}}));
  registry_.Add(raid8, "IOMedia", "disk8s1", Medium("disk8s1", 1));
  registry_.Add(root_, "IOMedia", "disk4", Medium("disk4", 1));
  Start();
  struct Case {
    const char* bsd;
    int32_t sixth;
    int32_t claim;
  };
  const Case cases[] = {
      {"disk2s2", 0, 1},      // on a supported bus
      {"disk2s2", 1, 0},      // the flag refuses
      {"disk2s2", 0x100, 1},  // only the low byte is the flag
      {"disk7", 0, 1},        // a RAID volume of this system
      {"disk8s1", 0, 0},      // the identity is only above it
      {"disk4", 0, 0},        // a disk image
      {"disk99", 0, 0},       // unknown
  };
  for (const Case& c : cases) disk_arb_.UnrecognizedDisk(c.bsd, c.sixth);
  ASSERT_EQ(disk_arb_.answers().size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(disk_arb_.answers()[i].first, cases[i].bsd);
    EXPECT_EQ(disk_arb_.answers()[i].second, cases[i].claim) << i << " " << cases[i].bsd;
  }
}

TEST(EventHandlerStartTest, AFailedStepEndsStartWithOne) {
  struct Case {
    const char* name;
    std::function<void(spot_testing::NotifyingRegistry&, spot_testing::FakeDiskArbitration&)> fail;
    bool records_before_failure;
  };
  const Case cases[] = {
      {"registry cannot be walked", [](auto& r, auto&) { r.FailIterators(); }, false},
      {"first-match notification",
       [](auto& r, auto&) { r.FailNotification(platform::NotificationKind::kFirstMatch); }, false},
      {"terminate notification",
       [](auto& r, auto&) { r.FailNotification(platform::NotificationKind::kTerminate); }, false},
      {"Disk Arbitration", [](auto&, auto& d) { d.FailStart(-1); }, true},
  };
  for (const Case& c : cases) {
    platform::testing::FakeHost host;
    spot_testing::NotifyingRegistry registry;
    spot_testing::FakeDiskArbitration disk_arb;
    host.SetRegistry(&registry);
    host.SetDiskArbitration(&disk_arb);
    const RegistryEntry bus = registry.Add({}, "IOService", "ata", {{"device_type", Str("ata")}});
    const RegistryEntry device = registry.Add(
        bus, "IOService", "device",
        {{"Protocol Characteristics", Dict({{"Physical Interconnect", Str("ATA")}})}});
    registry.Add(device, "IOMedia", "disk2", Medium("disk2", 1));
    c.fail(registry, disk_arb);
    spot_testing::RecordChannel channel;
    TEventHandler handler(channel.writer());
    EXPECT_EQ(handler.Start(), 1) << c.name;
    // The media present are reported before Disk Arbitration is asked.
    EXPECT_EQ(channel.Drain().size(), c.records_before_failure ? 1u : 0u) << c.name;
  }
}

}  // namespace
