#pragma once
// Builds the registry entries of a disk plugged into a bus, as the bus's drivers
// would publish them: the device nub with its bus identity (ATA unit number and
// serial, SCSI target and LUN, FireWire GUID and unit, USB address and serial), the
// block storage device with "Protocol Characteristics" and "Device
// Characteristics", and the block storage driver that the disk's media go below.
//
// Properties given for the disk go where such a property lives: the keys of
// "Protocol Characteristics" and "Device Characteristics" into those dictionaries,
// the media keys ("Ejectable", "Removable", "Preferred Block Size", "Writable") to
// the media, and every other key to the device nub.

#include <string>

#include "sim/machine/registry_tree.h"

namespace sim {

struct DiskNodes {
  RegistryNode* top = nullptr;           // the device nub, child of the bus entry
  RegistryNode* media_parent = nullptr;  // the block storage driver
  RegistryNode* tree_parent = nullptr;   // the device-tree node the whole medium goes below
  std::string tree_component;            // "@<unit>"
  std::string media_name;                // "<vendor> <product> Media"
  PropertyDictionary media_properties;   // "Ejectable", "Removable", ... for every medium
};

// `kind` is one of the bus kinds of machine_description.h; `unit` the position on
// the bus (ATA unit, SCSI target, FireWire node, USB address).
DiskNodes BuildDisk(RegistryTree& tree, RegistryNode* bus, const std::string& kind, int64_t unit,
                    const PropertyDictionary& properties);

}  // namespace sim
