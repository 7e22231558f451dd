#pragma once
// Registry questions several programs ask: the entry of a BSD disk name or an
// OpenFirmware path, stepping through an iterator, a disk's size, the BSD name in a
// device path, and whether a property holds a given text. Entries are
// platform::RegistryEntry values (empty when nothing was found) and need no release.
// No function keeps state; any thread may call them.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "framework/mac_types.h"
#include "platform/property.h"
#include "platform/registry.h"

// The registry entry whose "BSD Name" is `bsd_name` (disk2, disk2s3), or empty.
platform::RegistryEntry GetIOKitObjectWithBSDName(const char* bsd_name);

// The registry entry at an OpenFirmware path (given without "IODeviceTree:"), or empty.
platform::RegistryEntry GetIOKitObjectWithOpenFirmwarePath(const char* of_path);

// Advances `iterator` `steps` times and returns the entry reached; empty for 0 steps,
// a null iterator, or an iterator that runs out first.
platform::RegistryEntry IterateThroughParentLevels(platform::RegistryIterator* iterator,
                                                   uint32_t steps);

// Copies the BSD name of a device path ("/dev/rdisk1s2" gives "disk1s2") into `out`:
// the text from the first "disk" to the end, which must be followed by at least one
// character, all of them digits or 's'. False when there is no such name, the path
// has 4 characters or fewer, or the name and its terminator do not fit `out_size`.
Boolean ExtractBSDNameFromPathname(const char* path, char* out, size_t out_size);

// The "Size" property of the BSD name's entry, in bytes; 0 when there is no entry, no
// integer size, or a negative one.
uint64_t NumberBytesOnDisk(const char* bsd_name);

// Whether a string or data property holds `text` (with `prefix_only`, begins with it).
// Data counts as text up to its first NUL; a string must be ASCII and shorter than
// 256 characters. A missing value, any other type, or a null text gives false. Case
// counts.
Boolean CompareCFTypeRefToString(const platform::Property* value, const char* text,
                                 Boolean prefix_only);
Boolean CompareCFTypeRefToString(const std::optional<platform::Property>& value,
                                 const char* text, Boolean prefix_only);
