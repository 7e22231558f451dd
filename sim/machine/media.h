#pragma once
// The disks plugged into the machine and the media published from them. Owned by the
// Machine; used from the daemon's thread.

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "sim/fs/volume_probe.h"
#include "sim/machine/disk_builder.h"
#include "sim/machine/registry_tree.h"

namespace sim {

struct Disk;

// A whole disk or one of its partitions.
struct Medium {
  std::string bsd;  // "disk2", "disk2s3"
  Disk* disk = nullptr;
  int partition = 0;  // 0 for the whole disk, else the map entry's index
  int64_t offset = 0;  // bytes into the image
  int64_t size = 0;
  std::string content;  // partition type, or the whole disk's scheme
  std::string partition_name;
  RegistryNode* node = nullptr;

  // Disk Arbitration's view.
  VolumeInfo volume;        // what the last probe found
  std::string mount_point;  // machine path, empty while not mounted
  uint32_t sequence = 0;    // when it appeared, in the order media appeared
  double appeared = 0;      // machine time it appeared

  bool whole() const { return partition == 0; }
};

struct Disk {
  int number = 0;          // the N of diskN
  std::string image_spec;  // the image as the description names it
  std::string image;       // host path of the image
  int fd = -1;             // the image, open for reading and writing (owned)
  std::string bus;
  int64_t unit = 0;
  PropertyDictionary properties;
  int64_t size = 0;
  DiskNodes nodes;
  RegistryNode* scheme = nullptr;  // the partition scheme entry while a map is published
  std::map<int, std::unique_ptr<Medium>> media;  // 0: the whole disk
};

}  // namespace sim
