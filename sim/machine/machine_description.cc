#include "sim/machine/machine_description.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/plist.h"
#include "platform/sim/machine_protocol.h"
#include "sim/tools/install.h"

namespace sim {
namespace {

namespace fs = std::filesystem;
using platform::PropertyArray;

Property Text(std::string_view s) { return Property::String(s); }
Property Number(int64_t v) { return Property::Integer(v); }
// OpenFirmware properties are NUL-terminated bytes.
Property OfText(std::string_view s) {
  std::vector<uint8_t> bytes(s.begin(), s.end());
  bytes.push_back(0);
  return Property::Data(std::move(bytes));
}
Property Location(std::string_view s) { return Property::Data(s.data(), s.size()); }

Property Entry(std::string name, std::string location, std::string class_name, bool device_tree,
               PropertyDictionary properties, PropertyArray children = {}) {
  properties["IORegistryEntryName"] = Text(name);
  if (!location.empty()) properties["IORegistryEntryLocation"] = Text(location);
  properties["IOObjectClass"] = Text(class_name);
  if (device_tree) {
    properties["IODeviceTree"] = Property::Boolean(true);
    properties["name"] = OfText(name);
  }
  if (!children.empty()) properties["IORegistryEntryChildren"] = Property::Array(std::move(children));
  return Property::Dictionary(std::move(properties));
}

bool CheckEntry(const Property& entry, int depth, std::string* error) {
  const PropertyDictionary* d = entry.AsDictionary();
  if (d == nullptr || depth > 64) {
    *error = "a registry entry is not a dictionary (or the tree is too deep)";
    return false;
  }
  auto text = [&](const char* key, bool required) {
    const Property* p = entry.Find(key);
    if (p == nullptr) return !required;
    return p->is_string();
  };
  if (!text("IORegistryEntryName", true) || !text("IOObjectClass", true) ||
      !text("IORegistryEntryLocation", false)) {
    *error = "a registry entry lacks a text IORegistryEntryName or IOObjectClass";
    return false;
  }
  if (const Property* tree = entry.Find("IODeviceTree"); tree != nullptr && !tree->is_boolean()) {
    *error = "IODeviceTree must be a boolean";
    return false;
  }
  if (const Property* children = entry.Find("IORegistryEntryChildren")) {
    if (!children->is_array()) {
      *error = "IORegistryEntryChildren must be an array";
      return false;
    }
    for (const Property& child : *children->AsArray()) {
      if (!CheckEntry(child, depth + 1, error)) return false;
    }
  }
  return true;
}

}  // namespace

std::optional<MachineDescription> ParseDescription(const Property& document, std::string* error) {
  const PropertyDictionary* top = document.AsDictionary();
  if (top == nullptr) {
    *error = "the description is not a dictionary";
    return std::nullopt;
  }
  MachineDescription out;
  const Property* registry = document.Find("Registry");
  if (registry == nullptr || !CheckEntry(*registry, 0, error)) {
    if (registry == nullptr) *error = "the description has no Registry";
    return std::nullopt;
  }
  out.registry = *registry;
  if (const Property* classes = document.Find("Classes")) {
    if (!classes->is_dictionary()) {
      *error = "Classes must be a dictionary";
      return std::nullopt;
    }
    for (const auto& [name, super] : *classes->AsDictionary()) {
      if (!super.is_string()) {
        *error = "the superclass of " + name + " is not a text";
        return std::nullopt;
      }
      out.classes[name] = *super.AsString();
    }
  }
  if (const Property* buses = document.Find("Buses")) {
    if (!buses->is_dictionary()) {
      *error = "Buses must be a dictionary";
      return std::nullopt;
    }
    for (const auto& [id, bus] : *buses->AsDictionary()) {
      const Property* kind = bus.Find("Kind");
      const Property* path = bus.Find("Path");
      if (kind == nullptr || path == nullptr || !kind->is_string() || !path->is_string()) {
        *error = "bus " + id + " needs a text Kind and Path";
        return std::nullopt;
      }
      const std::string& k = *kind->AsString();
      if (k != kBusATA && k != kBusSCSI && k != kBusFireWire && k != kBusUSB) {
        *error = "bus " + id + " has an unknown Kind " + k;
        return std::nullopt;
      }
      out.buses[id] = BusSpec{k, *path->AsString()};
    }
  }
  if (const Property* disks = document.Find("Disks")) {
    if (!disks->is_array()) {
      *error = "Disks must be an array";
      return std::nullopt;
    }
    for (const Property& disk : *disks->AsArray()) {
      const Property* image = disk.Find("Image");
      const Property* bus = disk.Find("Bus");
      const Property* unit = disk.Find("Unit");
      const Property* properties = disk.Find("Properties");
      if (image == nullptr || bus == nullptr || !image->is_string() || !bus->is_string() ||
          (unit != nullptr && !unit->is_integer()) ||
          (properties != nullptr && !properties->is_dictionary())) {
        *error = "a disk needs a text Image and Bus, an integer Unit and a dictionary of Properties";
        return std::nullopt;
      }
      DiskSpec spec{*image->AsString(), *bus->AsString(), unit ? *unit->AsInteger() : 0,
                    properties ? *properties->AsDictionary() : PropertyDictionary()};
      out.disks.push_back(std::move(spec));
    }
  }
  if (const Property* firmware = document.Find("Firmware")) {
    if (!firmware->is_dictionary()) {
      *error = "Firmware must be a dictionary";
      return std::nullopt;
    }
    for (const auto& [name, value] : *firmware->AsDictionary()) {
      if (!value.is_string()) {
        *error = "firmware variable " + name + " is not a text";
        return std::nullopt;
      }
      out.firmware[name] = *value.AsString();
    }
  }
  if (const Property* items = document.Find("StartupItems")) {
    if (!items->is_array()) {
      *error = "StartupItems must be an array";
      return std::nullopt;
    }
    for (const Property& item : *items->AsArray()) {
      if (!item.is_string()) {
        *error = "a startup item is not a text";
        return std::nullopt;
      }
      out.startup_items.push_back(*item.AsString());
    }
  }
  if (const Property* mount = document.Find("AutoMount")) {
    if (!mount->is_boolean()) {
      *error = "AutoMount must be a boolean";
      return std::nullopt;
    }
    out.auto_mount = *mount->AsBoolean();
  }
  return out;
}

Property DescriptionToProperty(const MachineDescription& d) {
  PropertyDictionary top;
  top["Registry"] = d.registry;
  PropertyDictionary classes;
  for (const auto& [name, super] : d.classes) classes[name] = Text(super);
  top["Classes"] = Property::Dictionary(std::move(classes));
  PropertyDictionary buses;
  for (const auto& [id, bus] : d.buses) {
    buses[id] = Property::Dictionary({{"Kind", Text(bus.kind)}, {"Path", Text(bus.path)}});
  }
  top["Buses"] = Property::Dictionary(std::move(buses));
  PropertyArray disks;
  for (const DiskSpec& disk : d.disks) {
    disks.push_back(Property::Dictionary({{"Image", Text(disk.image)},
                                          {"Bus", Text(disk.bus)},
                                          {"Unit", Number(disk.unit)},
                                          {"Properties", Property::Dictionary(disk.properties)}}));
  }
  top["Disks"] = Property::Array(std::move(disks));
  PropertyDictionary firmware;
  for (const auto& [name, value] : d.firmware) firmware[name] = Text(value);
  top["Firmware"] = Property::Dictionary(std::move(firmware));
  PropertyArray items;
  for (const std::string& item : d.startup_items) items.push_back(Text(item));
  top["StartupItems"] = Property::Array(std::move(items));
  top["AutoMount"] = Property::Boolean(d.auto_mount);
  return Property::Dictionary(std::move(top));
}

MachineDescription DefaultDescription(int disk_count) {
  MachineDescription d;
  Property ata_channel0 =
      Entry("channel", "0", "ATAChannel", true,
            {{"Channel", Number(0)}, {"io-device-location", Location("Internal ATA Bus 0")}});
  Property ata_channel1 =
      Entry("channel", "1", "ATAChannel", true,
            {{"Channel", Number(1)}, {"io-device-location", Location("Internal ATA Bus 1")}});
  Property ata = Entry("ata-6", "d", "AppleKauaiATA", true,
                       {{"device_type", OfText("ata")}, {"compatible", OfText("kauai-ata")}},
                       {ata_channel0, ata_channel1});
  Property firewire = Entry("firewire", "e", "AppleFWOHCI", true,
                            {{"device_type", OfText("ieee1394")},
                             {"io-device-location", Location("FireWire Port")}});
  Property usb = Entry("usb", "1b", "AppleUSBOHCI", true,
                       {{"device_type", OfText("usb")},
                        {"USBBusNumber", Number(0x1b)},
                        {"io-device-location", Location("USB Port")}});
  Property scsi = Entry("scsi", "4", "IOSCSIParallelController", true,
                        {{"device_type", OfText("scsi")},
                         {"AAPL,slot-name", OfText("SLOT-4")},
                         {"io-device-location", Location("PCI Slot 4")}});
  Property macio = Entry("mac-io", "17", "AppleMacIODevice", true,
                         {{"device_type", OfText("mac-io")}});
  Property pci1 = Entry("pci", "f2000000", "AppleMacRiscPCI", true,
                        {{"device_type", OfText("pci")}}, {macio, scsi});
  Property pci2 = Entry("pci", "f4000000", "AppleMacRiscPCI", true,
                        {{"device_type", OfText("pci")}}, {ata, firewire, usb});
  d.registry = Entry("PowerMac3,6", "", "IOPlatformExpertDevice", false,
                     {{"model", OfText("PowerMac3,6")},
                      {"compatible", OfText("PowerMac3,6")},
                      {"IOPlatformSerialNumber", Text("MV310000001")}},
                     {pci1, pci2});
  d.buses["ata0"] = {kBusATA, "IOService:/pci@f4000000/ata-6@d/channel@0"};
  d.buses["ata1"] = {kBusATA, "IOService:/pci@f4000000/ata-6@d/channel@1"};
  d.buses["scsi0"] = {kBusSCSI, "IOService:/pci@f2000000/scsi@4"};
  d.buses["firewire0"] = {kBusFireWire, "IOService:/pci@f4000000/firewire@e"};
  d.buses["usb0"] = {kBusUSB, "IOService:/pci@f4000000/usb@1b"};
  const char* slots[][2] = {{"ata0", "0"}, {"ata1", "0"}, {"scsi0", "1"}, {"firewire0", "0"}};
  for (int i = 0; i < disk_count && i < 4; ++i) {
    DiskSpec disk;
    disk.image = "disks/disk-" + std::to_string(i + 1) + ".img";
    disk.bus = slots[i][0];
    disk.unit = std::stoll(slots[i][1]);
    disk.properties["Serial Number"] = Text("MV" + std::to_string(4200 + i));
    d.disks.push_back(std::move(disk));
  }
  d.firmware["boot-device"] = "/pci@f4000000/ata-6@d/channel@0/@0:3,\\\\:tbxi";
  d.firmware["boot-args"] = "";
  d.firmware["auto-boot?"] = "true";
  d.firmware["boot-command"] = "mac-boot";
  d.startup_items = {"/usr/sbin/kextd",
                     "/System/Library/CoreServices/SystemUIServer.app/Contents/MacOS/SystemUIServer"};
  return d;
}

int CreateBlankImage(const std::string& path, int64_t size) {
  if (size < 512) return EINVAL;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  int error = ::ftruncate(fd, size / 512 * 512) == 0 ? 0 : errno;
  ::close(fd);
  return error;
}

int CreateMachineRoot(const std::string& root, const CreateOptions& options, std::string* error) {
  std::error_code ec;
  if (fs::exists(platform::machine::DescriptionPath(root), ec)) {
    *error = root + " already holds a machine";
    return EEXIST;
  }
  for (const char* dir :
       {"", "/Volumes", "/tmp", "/var/log", "/var/run", "/dev", "/disks", "/run", "/sbin",
        "/bin", "/usr/sbin", "/usr/bin", "/System/Library/Extensions",
        "/System/Library/CoreServices", "/Library/Preferences"}) {
    fs::create_directories(root + dir, ec);
    if (ec) {
      *error = "cannot make " + root + dir + ": " + ec.message();
      return ec.value();
    }
  }
  ::chmod((root + "/tmp").c_str(), 01777);
  // The system tools the programs run: stand-ins from the tools folder when one is
  // given, and the Linux tools that behave as the system's own.
  std::string tools_error;
  int linked = options.tools_folder.empty()
                   ? InstallLinuxTools(root, &tools_error)
                   : InstallStandInTools(root, options.tools_folder, &tools_error);
  if (linked != 0) {
    *error = tools_error;
    return linked;
  }
  MachineDescription d = DefaultDescription(options.disk_count);
  for (const DiskSpec& disk : d.disks) {
    if (int e = CreateBlankImage(root + "/" + disk.image, options.disk_size); e != 0) {
      *error = "cannot make " + disk.image + ": " + std::strerror(e);
      return e;
    }
  }
  if (!SaveDescription(root, d)) {
    *error = "cannot write " + platform::machine::DescriptionPath(root);
    return EIO;
  }
  return 0;
}

std::optional<MachineDescription> LoadDescription(const std::string& root, std::string* error) {
  auto document = platform::ReadXmlPropertyListFile(platform::machine::DescriptionPath(root));
  if (!document) {
    *error = "cannot read " + platform::machine::DescriptionPath(root);
    return std::nullopt;
  }
  return ParseDescription(*document, error);
}

bool SaveDescription(const std::string& root, const MachineDescription& description) {
  return platform::WriteXmlPropertyListFile(platform::machine::DescriptionPath(root),
                                            DescriptionToProperty(description));
}

}  // namespace sim
