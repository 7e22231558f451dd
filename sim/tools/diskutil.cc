// diskutil enableJournal|disableJournal: sets or clears the journaled attribute in
// the HFS Plus volume header of a volume, named by its mount point (found in Disk
// Arbitration's table) or by its device. A volume inside an HFS wrapper is changed
// in its embedded header.

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/host.h"
#include "sim/fs/volume_format.h"
#include "sim/fs/volume_probe.h"
#include "sim/tools/raw_device_store.h"
#include "sim/tools/tools.h"

namespace sim::tools {
namespace {

constexpr char kUsage[] = "usage: diskutil enableJournal|disableJournal mount-point|device";
// How long Disk Arbitration may take to list its volumes.
constexpr double kListSeconds = 10.0;

}  // namespace

int Diskutil(const ToolCall& call) {
  const auto& argv = call.argv;
  if (argv.size() != 3 || (argv[1] != "enableJournal" && argv[1] != "disableJournal")) {
    call.err << "diskutil: " << (argv.size() < 2 ? "no verb given" : "unknown or incomplete command")
             << "\n" << kUsage << "\n";
    return kExitUsage;
  }
  const bool enable = argv[1] == "enableJournal";
  const std::string& target = argv[2];

  std::string bsd = BsdNameOf(target);
  std::string shown = target;
  if (bsd.empty()) {
    auto volumes = ListDiskArbitrationVolumes(kListSeconds);
    if (!volumes) {
      call.err << "diskutil: Disk Arbitration did not answer\n";
      return kExitFailure;
    }
    const MountedVolume* volume = FindByMountPoint(*volumes, target);
    if (volume == nullptr) {
      call.err << "diskutil: " << target << ": no volume is mounted there\n";
      return kExitFailure;
    }
    bsd = volume->bsd_name;
    shown = volume->volume_name;
  }
  std::string device_path = "/dev/r" + bsd;
  std::unique_ptr<platform::RawDevice> device =
      platform::GetHost().raw_devices().Open(device_path, platform::kBsdOpenReadWrite);
  if (!device) {
    call.err << "diskutil: " << device_path << ": " << std::strerror(errno) << "\n";
    return kExitFailure;
  }
  RawDeviceStore store(*device);
  VolumeInfo info = ProbeVolume(store);
  if (info.kind != VolumeKind::kHfsPlus && info.kind != VolumeKind::kHfsx) {
    call.err << "diskutil: " << shown << ": journaling needs an HFS Plus volume\n";
    return kExitFailure;
  }
  if (info.journaled != enable) {
    int result = 0;
    if (info.embedded_offset == 0) {
      result = SetHfsPlusJournaled(store, enable);
    } else {
      SubStore embedded(store, info.embedded_offset, store.Size() - info.embedded_offset);
      result = SetHfsPlusJournaled(embedded, enable);
    }
    if (result != 0 || device->SynchronizeCache() != 0) {
      int error = store.last_error() != 0 ? store.last_error() : (result != 0 ? result : errno);
      call.err << "diskutil: " << device_path << ": " << std::strerror(error) << "\n";
      return kExitFailure;
    }
  }
  call.out << "Journaling has been " << (enable ? "enabled" : "disabled") << " for volume "
           << shown << " on " << device_path << "\n";
  return kExitSuccess;
}

}  // namespace sim::tools
