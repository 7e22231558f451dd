#pragma once
// Where the machine's fixed paths live on this host. Every absolute path the system
// names ("/tmp/Mirovane.tmp", "/usr/sbin/nvram", "/dev/rdisk2s3", ...) is turned into
// a host path here; paths the caller got from the host itself (the tool's own folder,
// the working directory) are used as they are.

#include <string>
#include <string_view>

namespace platform {

class Paths {
 public:
  virtual ~Paths() = default;
  // The host path of a machine path. Absolute paths are placed under the machine
  // root; relative paths are returned unchanged.
  virtual std::string Resolve(std::string_view machine_path) = 0;
  // The machine root itself (no trailing '/').
  virtual std::string MachineRoot() = 0;
};

}  // namespace platform
