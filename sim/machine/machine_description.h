#pragma once
// The machine description, <root>/machine.plist: the fixed hardware as an ioreg-style
// tree, the buses disks can be plugged into, the disks plugged in, the firmware
// variables and a few switches. The daemon reads it at start-up and writes it back
// when disks are attached or detached and firmware variables change, so a machine
// that goes down and up again comes back as it was.
//
// Document layout (a dictionary):
//   "Registry"  an entry: "IORegistryEntryName", optional "IORegistryEntryLocation",
//               "IOObjectClass", optional "IODeviceTree" (true: the entry is also an
//               OpenFirmware node), optional "IORegistryEntryChildren" (entries);
//               every other key is a property of the entry
//   "Classes"   class name -> superclass name, for classes the daemon does not know
//   "Buses"     bus id -> { "Kind": "ATA" | "SCSI" | "FireWire" | "USB",
//                           "Path": IOService path of the entry disks attach below }
//   "Disks"     array of { "Image": path (relative to the root, or absolute),
//                          "Bus": bus id, "Unit": integer, "Properties": dictionary }
//   "Firmware"  variable name -> string value
//   "StartupItems"  machine paths of programs the daemon starts when the machine comes
//                   up (those that exist), and stops when it goes down
//   "AutoMount" boolean: mount recognised volumes when they appear (default true)

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/property.h"

namespace sim {

using platform::Property;
using platform::PropertyDictionary;

struct BusSpec {
  std::string kind;
  std::string path;
};

struct DiskSpec {
  std::string image;
  std::string bus;
  int64_t unit = 0;
  PropertyDictionary properties;
};

struct MachineDescription {
  Property registry;
  std::map<std::string, std::string> classes;
  std::map<std::string, BusSpec> buses;
  std::vector<DiskSpec> disks;
  std::map<std::string, std::string> firmware;
  std::vector<std::string> startup_items;
  bool auto_mount = true;
};

inline constexpr char kBusATA[] = "ATA";
inline constexpr char kBusSCSI[] = "SCSI";
inline constexpr char kBusFireWire[] = "FireWire";
inline constexpr char kBusUSB[] = "USB";

// nullopt with *error set when the document is not a usable description.
std::optional<MachineDescription> ParseDescription(const Property& document, std::string* error);
Property DescriptionToProperty(const MachineDescription& description);

// The default machine: a PowerPC tower with an ATA controller of two channels, a
// SCSI card, FireWire and USB, and `disk_count` blank disks (on the first channel,
// the second channel, the SCSI card and FireWire, in that order) whose images are
// disks/disk-<n>.img.
MachineDescription DefaultDescription(int disk_count);

struct CreateOptions {
  int disk_count = 4;
  int64_t disk_size = 256ll << 20;  // bytes; images are sparse
  // Folder of stand-in system tools to link into the root (see sim/README.md);
  // empty: none.
  std::string tools_folder;
};

// Makes a machine root: the folders of a small Mac file system, links to the Linux
// tools that behave as the system's do, the stand-in tools found in the tools
// folder, the blank disk images and machine.plist. Refuses a root that already has
// a machine.plist. 0, or an errno value with *error set.
int CreateMachineRoot(const std::string& root, const CreateOptions& options, std::string* error);

// Reads <root>/machine.plist.
std::optional<MachineDescription> LoadDescription(const std::string& root, std::string* error);
bool SaveDescription(const std::string& root, const MachineDescription& description);

// Creates a sparse image of `size` bytes (rounded down to 512) at `path`; refuses
// an existing file. 0 or an errno value.
int CreateBlankImage(const std::string& path, int64_t size);

}  // namespace sim
