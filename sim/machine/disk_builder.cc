#include "sim/machine/disk_builder.h"

#include <cstdio>

#include "sim/machine/machine_description.h"

namespace sim {
namespace {

using platform::Property;

const char* const kProtocolKeys[] = {"Physical Interconnect", "Physical Interconnect Location",
                                     "SCSI Target Identifier", "SCSI Logical Unit Number"};
const char* const kDeviceKeys[] = {"Vendor Name", "Product Name", "Product Revision Level",
                                   "Serial Number"};
const char* const kMediaKeys[] = {"Ejectable", "Removable", "Preferred Block Size", "Writable"};

bool OneOf(const std::string& key, const char* const* keys, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (key == keys[i]) return true;
  }
  return false;
}

std::string TextOf(const PropertyDictionary& d, const char* key, std::string fallback) {
  auto it = d.find(key);
  if (it != d.end() && it->second.AsString() != nullptr) return *it->second.AsString();
  return fallback;
}

std::string Trimmed(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  size_t start = s.find_first_not_of(' ');
  return start == std::string::npos ? std::string() : s.substr(start);
}

}  // namespace

DiskNodes BuildDisk(RegistryTree& tree, RegistryNode* bus, const std::string& kind, int64_t unit,
                    const PropertyDictionary& properties) {
  DiskNodes out;
  PropertyDictionary protocol;
  PropertyDictionary device;
  PropertyDictionary nub;
  out.media_properties = {{"Ejectable", Property::Boolean(false)},
                          {"Removable", Property::Boolean(false)},
                          {"Writable", Property::Boolean(true)},
                          {"Preferred Block Size", Property::Integer(512)}};
  std::string serial = TextOf(properties, "Serial Number", "MV" + std::to_string(1000 + unit));
  std::string unit_text = std::to_string(unit);
  char guid_text[32];
  std::snprintf(guid_text, sizeof guid_text, "%llx",
                static_cast<unsigned long long>(0x0030e00000a00000ULL + static_cast<uint64_t>(unit)));

  if (kind == kBusATA) {
    protocol = {{"Physical Interconnect", Property::String("ATA")},
                {"Physical Interconnect Location", Property::String("Internal")}};
    device = {{"Product Name", Property::String("MIROVANE SIM-ATA")},
              {"Product Revision Level", Property::String("1.0")},
              {"Serial Number", Property::String(serial)}};
    // ATA drives report their serial padded with spaces.
    nub = {{"unit number", Property::Integer(unit)},
           {"device serial", Property::String("    " + serial + "  ")},
           {"device model", Property::String("MIROVANE SIM-ATA")}};
  } else if (kind == kBusSCSI) {
    protocol = {{"Physical Interconnect", Property::String("SCSI Parallel Interface")},
                {"Physical Interconnect Location", Property::String("Internal")},
                {"SCSI Target Identifier", Property::Integer(unit)},
                {"SCSI Logical Unit Number", Property::Integer(0)}};
    device = {{"Vendor Name", Property::String("MIROVANE")},
              {"Product Name", Property::String("SIM-SCSI")},
              {"Product Revision Level", Property::String("0001")},
              {"Serial Number", Property::String(serial)}};
    nub = {{"SCSI Target", Property::Integer(unit)}, {"SCSI Lun", Property::Integer(0)}};
  } else if (kind == kBusFireWire) {
    protocol = {{"Physical Interconnect", Property::String("FireWire")},
                {"Physical Interconnect Location", Property::String("External")}};
    device = {{"Vendor Name", Property::String("MIROVANE")},
              {"Product Name", Property::String("SIM-1394")},
              {"Product Revision Level", Property::String("2.0")},
              {"Serial Number", Property::String(serial)}};
    nub = {{"GUID", Property::Integer(static_cast<int64_t>(0x0030e00000a00000ULL +
                                                            static_cast<uint64_t>(unit)))},
           {"Vendor_ID", Property::Integer(0x0030e0)}};
  } else {
    protocol = {{"Physical Interconnect", Property::String("USB")},
                {"Physical Interconnect Location", Property::String("External")}};
    device = {{"Vendor Name", Property::String("MIROVANE")},
              {"Product Name", Property::String("SIM-USB")},
              {"Product Revision Level", Property::String("3.0")},
              {"Serial Number", Property::String(serial)}};
    nub = {{"USB Address", Property::Integer(unit)},
           {"USB Serial Number", Property::String(serial)},
           {"USB Product Name", Property::String("SIM-USB")},
           {"idVendor", Property::Integer(0x1234)},
           {"idProduct", Property::Integer(0x5678)}};
  }

  for (const auto& [key, value] : properties) {
    if (OneOf(key, kProtocolKeys, std::size(kProtocolKeys))) {
      protocol[key] = value;
    } else if (OneOf(key, kDeviceKeys, std::size(kDeviceKeys))) {
      device[key] = value;
    } else if (OneOf(key, kMediaKeys, std::size(kMediaKeys))) {
      out.media_properties[key] = value;
    } else {
      nub[key] = value;
    }
  }
  PropertyDictionary storage = {{"Protocol Characteristics", Property::Dictionary(protocol)},
                                {"Device Characteristics", Property::Dictionary(device)}};

  RegistryNode* storage_device = nullptr;
  if (kind == kBusATA) {
    out.top = tree.Add(bus, "ATADeviceNub", unit_text, "ATADeviceNub", nub, false);
    storage_device =
        tree.Add(out.top, "IOATABlockStorageDevice", "", "IOATABlockStorageDevice", storage, false);
  } else if (kind == kBusSCSI) {
    out.top = tree.Add(bus, "IOSCSIParallelInterfaceDevice", unit_text,
                       "IOSCSIParallelInterfaceDevice", nub, false);
    RegistryNode* peripheral = tree.Add(out.top, "IOSCSIPeripheralDeviceNub", "",
                                        "IOSCSIPeripheralDeviceNub", {}, false);
    storage_device = tree.Add(peripheral, "IOSCSIPeripheralDeviceType00", "",
                              "IOSCSIPeripheralDeviceType00", storage, false);
  } else if (kind == kBusFireWire) {
    out.top = tree.Add(bus, "node", guid_text, "IOFireWireDevice", nub, false);
    RegistryNode* fw_unit = tree.Add(out.top, "unit", "0", "IOFireWireUnit", {}, false);
    RegistryNode* target = tree.Add(fw_unit, "IOFireWireSBP2Target", "", "IOFireWireSBP2Target", {}, false);
    RegistryNode* lun = tree.Add(target, "IOFireWireSBP2LUN", "", "IOFireWireSBP2LUN",
                                 {{"IOUnit", Property::Integer(0)}}, false);
    RegistryNode* peripheral =
        tree.Add(lun, "IOSCSIPeripheralDeviceNub", "", "IOSCSIPeripheralDeviceNub", {}, false);
    storage_device = tree.Add(peripheral, "IOSCSIPeripheralDeviceType00", "",
                              "IOSCSIPeripheralDeviceType00", storage, false);
  } else {
    out.top = tree.Add(bus, "Disk", unit_text, "IOUSBDevice", nub, false);
    RegistryNode* interface = tree.Add(out.top, "IOUSBInterface", "0", "IOUSBInterface", {}, false);
    RegistryNode* mass = tree.Add(interface, "IOUSBMassStorageClass", "", "IOUSBMassStorageClass", {}, false);
    RegistryNode* peripheral =
        tree.Add(mass, "IOSCSIPeripheralDeviceNub", "", "IOSCSIPeripheralDeviceNub", {}, false);
    storage_device = tree.Add(peripheral, "IOSCSIPeripheralDeviceType00", "",
                              "IOSCSIPeripheralDeviceType00", storage, false);
  }
  out.media_parent =
      tree.Add(storage_device, "IOBlockStorageDriver", "", "IOBlockStorageDriver", {}, false);

  RegistryNode* tree_parent = bus;
  while (tree_parent != nullptr && !tree_parent->in_device_tree) tree_parent = tree_parent->service_parent;
  out.tree_parent = tree_parent != nullptr ? tree_parent : tree.root();
  out.tree_component = "@" + unit_text;
  std::string vendor = Trimmed(TextOf(device, "Vendor Name", ""));
  std::string product = Trimmed(TextOf(device, "Product Name", ""));
  out.media_name = Trimmed(vendor + " " + product) + " Media";
  return out;
}

}  // namespace sim
