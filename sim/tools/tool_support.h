#pragma once
// What the stand-in system tools share: their output streams and exit statuses,
// byte counts written the way the Mac tools take them, machine paths, log lines
// under the machine root, and the volume table as Disk Arbitration reports it.

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace sim::tools {

// Exit statuses: 0 success; 1 the request failed (device, file or service error);
// 64 the command line was wrong (nothing was touched).
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 64;

// A tool's command line (argv[0] first) and where it writes. Tools are functions so
// that tests can run them in-process against a fake host.
struct ToolCall {
  std::vector<std::string> argv;
  std::ostream& out;
  std::ostream& err;
};

std::vector<std::string> ArgumentsOf(int argc, char** argv);

// "8MB", "700m", "2g", "512k", "4096b": a count with a unit (k, m, g, t: powers of
// 1024; b: bytes; an optional trailing "b" after k/m/g/t). A bare number is taken
// in `bare_unit` bytes, or refused when `bare_unit` is 0. nullopt for anything
// else, for zero, and for counts that do not fit 63 bits.
std::optional<uint64_t> ParseByteCount(std::string_view text, uint64_t bare_unit);

// A mount point as Disk Arbitration names it: without trailing '/', except "/".
std::string NormalizeMountPoint(std::string_view path);

// The host path of a machine path (relative paths stay relative).
std::string HostPath(std::string_view machine_path);

// Appends one line (a newline is added) to the machine file `machine_path`,
// creating it. False when there is no machine root or it cannot be written.
bool AppendMachineLog(std::string_view machine_path, std::string_view line);

// One volume in Disk Arbitration's table.
struct MountedVolume {
  std::string bsd_name;     // "disk2s3"
  std::string mount_point;  // machine path, empty when not mounted
  std::string fs_type;      // "hfs", "ufs", "msdos" or empty
  std::string volume_name;
};

// Every disk Disk Arbitration knows, as a new session is told of them. nullopt
// when Disk Arbitration cannot be reached or does not finish within
// `timeout_seconds` (real seconds).
std::optional<std::vector<MountedVolume>> ListDiskArbitrationVolumes(double timeout_seconds);

// The volume mounted at `mount_point` (compared after NormalizeMountPoint).
const MountedVolume* FindByMountPoint(const std::vector<MountedVolume>& volumes,
                                      std::string_view mount_point);
// The mounted volume that holds `machine_path`: the longest mount point that is
// the path or one of its parent folders. nullptr when none.
const MountedVolume* FindHolder(const std::vector<MountedVolume>& volumes,
                                std::string_view machine_path);

// "disk2s3" of "/dev/rdisk2s3", "/dev/disk2s3" or "disk2s3"; empty when the text
// names no disk ("disk" and a number, optionally 's' and a partition number).
std::string BsdNameOf(std::string_view device);

}  // namespace sim::tools
