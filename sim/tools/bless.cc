// bless: records every call in the machine's /var/log/bless.log (the arguments,
// argv[0] first, separated by tabs) and, with -setboot, makes the firmware start
// from the named device ("-device") or from the disk volume that holds "-folder" /
// "-mount": "boot-device" becomes the device's OpenFirmware path and ",\\:tbxi".
// A folder on the machine's own startup volume (no disk volume holds it) leaves the
// firmware as it is. Blessing a folder itself changes nothing on the volume.

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/host.h"
#include "sim/tools/tools.h"

namespace sim::tools {
namespace {

constexpr char kUsage[] =
    "usage: bless [-folder path] [-folder9 path] [-mount path] [-device device] [-setboot]\n"
    "             [-label name] [-bootinfo [path]] [-info [path]] [-use9] [-save9] [-saveX]\n"
    "             [-openfolder path] [-file path] [-verbose] [-quiet]";
constexpr char kLog[] = "/var/log/bless.log";
constexpr char kBootFileSuffix[] = ",\\\\:tbxi";
constexpr double kListSeconds = 5.0;

struct Options {
  std::string folder, folder9, mount, device, label;
  bool setboot = false;
  bool info = false;
};

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

bool Parse(const std::vector<std::string>& argv, Options* o, std::string* problem) {
  for (size_t i = 1; i < argv.size(); ++i) {
    std::string opt = Lower(argv[i]);
    std::string* value = nullptr;
    if (opt == "-folder") value = &o->folder;
    else if (opt == "-folder9") value = &o->folder9;
    else if (opt == "-mount") value = &o->mount;
    else if (opt == "-device") value = &o->device;
    else if (opt == "-label") value = &o->label;
    if (value != nullptr || opt == "-openfolder" || opt == "-file" || opt == "-startupfile") {
      if (i + 1 >= argv.size()) {
        *problem = "option " + argv[i] + " needs a value";
        return false;
      }
      ++i;
      if (value != nullptr) *value = argv[i];
      continue;
    }
    if (opt == "-bootinfo" || opt == "-info" || opt == "-bootefi") {
      // An optional path follows.
      if (i + 1 < argv.size() && !argv[i + 1].empty() && argv[i + 1][0] != '-') ++i;
      if (opt == "-info") o->info = true;
      continue;
    }
    if (opt == "-setboot") {
      o->setboot = true;
      continue;
    }
    if (opt == "-use9" || opt == "-save9" || opt == "-savex" || opt == "-verbose" || opt == "-quiet" ||
        opt == "-plist") {
      continue;
    }
    *problem = "unknown option " + argv[i];
    return false;
  }
  if (o->folder.empty() && o->folder9.empty() && o->mount.empty() && o->device.empty() && !o->info) {
    *problem = "nothing to bless";
    return false;
  }
  if (!o->device.empty() && BsdNameOf(o->device).empty()) {
    *problem = "not a disk device: " + o->device;
    return false;
  }
  return true;
}

bool IsFolder(const std::string& machine_path) {
  struct stat st{};
  return ::stat(HostPath(machine_path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// "boot-device" for the medium `bsd`; 0 or an errno value with *problem set.
int BootDeviceOf(const std::string& bsd, std::string* value, std::string* problem) {
  platform::Registry& registry = platform::GetHost().registry();
  platform::RegistryEntry entry = registry.GetMatchingService(platform::Matching::BSDNameMatching(bsd));
  if (!entry) {
    *problem = bsd + ": no such device";
    return ENODEV;
  }
  std::optional<std::string> path = registry.GetPath(entry, platform::Plane::kDeviceTree);
  constexpr std::string_view kPlane = "IODeviceTree:";
  if (!path || !path->starts_with(kPlane) || path->size() == kPlane.size()) {
    *problem = bsd + ": the device has no OpenFirmware path";
    return ENOENT;
  }
  *value = path->substr(kPlane.size()) + kBootFileSuffix;
  return 0;
}

}  // namespace

int Bless(const ToolCall& call) {
  std::string line;
  for (const std::string& arg : call.argv) line += (line.empty() ? "" : "\t") + arg;
  if (!AppendMachineLog(kLog, line)) {
    call.err << "bless: cannot record the call in " << kLog << " (is MIROVANE_MACHINE set?)\n";
    return kExitFailure;
  }
  Options o;
  std::string problem;
  if (!Parse(call.argv, &o, &problem)) {
    call.err << "bless: " << problem << "\n" << kUsage << "\n";
    return kExitUsage;
  }
  for (const std::string* folder : {&o.folder, &o.folder9, &o.mount}) {
    if (!folder->empty() && !IsFolder(*folder)) {
      call.err << "bless: " << *folder << ": no such folder\n";
      return kExitFailure;
    }
  }
  if (!o.setboot) return kExitSuccess;

  std::string bsd = BsdNameOf(o.device);
  if (bsd.empty()) {
    const std::string& place = !o.folder.empty() ? o.folder : !o.mount.empty() ? o.mount : o.folder9;
    if (place.empty()) {
      call.err << "bless: -setboot needs -device, -folder or -mount\n";
      return kExitUsage;
    }
    auto volumes = ListDiskArbitrationVolumes(kListSeconds);
    if (!volumes) {
      call.err << "bless: Disk Arbitration did not answer\n";
      return kExitFailure;
    }
    const MountedVolume* holder = FindHolder(*volumes, place);
    if (holder == nullptr) return kExitSuccess;  // the machine's own startup volume
    bsd = holder->bsd_name;
  }
  std::string value;
  if (BootDeviceOf(bsd, &value, &problem) != 0) {
    call.err << "bless: " << problem << "\n";
    return kExitFailure;
  }
  if (int status = platform::GetHost().firmware().SetVariable("boot-device", value); status != 0) {
    call.err << "bless: cannot set boot-device: "
             << (status > 0 ? std::strerror(status) : "the firmware is not available") << "\n";
    return kExitFailure;
  }
  return kExitSuccess;
}

}  // namespace sim::tools
