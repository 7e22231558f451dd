// newfs: writes a UFS superblock (magic at byte 8192 + 1372) and this machine's
// volume label (sim/fs/volume_probe.h) onto a device.

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/host.h"
#include "sim/fs/volume_format.h"
#include "sim/tools/raw_device_store.h"
#include "sim/tools/tools.h"

namespace sim::tools {
namespace {

constexpr char kUsage[] = "usage: newfs [-v volume-name] special-file";

bool Parse(const std::vector<std::string>& argv, std::string* name, std::string* device,
           std::string* problem) {
  *name = "untitled";
  bool have_device = false;
  for (size_t i = 1; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    if (arg.size() >= 2 && arg[0] == '-') {
      if (!arg.starts_with("-v")) {
        *problem = "unknown option " + arg;
        return false;
      }
      std::string value = arg.substr(2);
      if (value.empty()) {
        if (i + 1 >= argv.size()) {
          *problem = "option -v needs a value";
          return false;
        }
        value = argv[++i];
      }
      *name = value;
      continue;
    }
    if (have_device) {
      *problem = "too many arguments";
      return false;
    }
    *device = arg;
    have_device = true;
  }
  if (!have_device) {
    *problem = "no device given";
    return false;
  }
  if (name->empty() || name->size() > 255 || name->find('\0') != std::string::npos) {
    *problem = "bad volume name: the name must be 1 to 255 bytes";
    return false;
  }
  return true;
}

}  // namespace

int Newfs(const ToolCall& call) {
  std::string name, device_path, problem;
  if (!Parse(call.argv, &name, &device_path, &problem)) {
    call.err << "newfs: " << problem << "\n" << kUsage << "\n";
    return kExitUsage;
  }
  platform::Host& host = platform::GetHost();
  std::unique_ptr<platform::RawDevice> device =
      host.raw_devices().Open(device_path, platform::kBsdOpenReadWrite);
  if (!device) {
    call.err << "newfs: " << device_path << ": " << std::strerror(errno) << "\n";
    return kExitFailure;
  }
  RawDeviceStore store(*device);
  // Like the real fs_id: the time of formatting and a number that differs between
  // formattings within one second.
  uint64_t fs_id = (static_cast<uint64_t>(host.clock().AbsoluteTime()) << 32) |
                   static_cast<uint32_t>(::getpid());
  int result = FormatUfs(store, name, fs_id);
  if (result == ENOSPC) {
    call.err << "newfs: " << device_path << ": the device is too small for a volume\n";
    return kExitFailure;
  }
  if (result != 0) {
    int error = store.last_error() != 0 ? store.last_error() : result;
    call.err << "newfs: " << device_path << ": " << std::strerror(error) << "\n";
    return kExitFailure;
  }
  if (device->SynchronizeCache() != 0) {
    call.err << "newfs: " << device_path << ": " << std::strerror(errno) << "\n";
    return kExitFailure;
  }
  call.out << device_path << ": " << (store.Size() >> 20) << " MB UFS volume \"" << name << "\"\n";
  return kExitSuccess;
}

}  // namespace sim::tools
