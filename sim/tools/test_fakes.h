#pragma once
// Test doubles for the stand-in tools' tests: Disk Arbitration that reports a fixed
// volume table, firmware variables in a map, a registry that knows media by BSD
// name and their OpenFirmware paths, and a way to run a tool and keep its output.

#include <fcntl.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/host.h"
#include "platform/unavailable.h"
#include "sim/tools/tool_support.h"

namespace sim::tools::testing {

struct ToolResult {
  int status = -1;
  std::string out;
  std::string err;
};

inline ToolResult RunTool(int (*tool)(const ToolCall&), std::vector<std::string> argv) {
  std::ostringstream out, err;
  ToolResult r;
  r.status = tool({std::move(argv), out, err});
  r.out = out.str();
  r.err = err.str();
  return r;
}

// A sparse file of `size` bytes; false when it cannot be made.
inline bool MakeSparseFile(const std::string& path, off_t size) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = ::ftruncate(fd, size) == 0;
  ::close(fd);
  return ok;
}

// Reports `volumes` to every session that starts, from the host's run loop, then
// the end of the list (unless `complete` is false: a Disk Arbitration that never
// finishes).
class FakeDiskArbitration : public platform::UnavailableDiskArbitration {
 public:
  explicit FakeDiskArbitration(platform::RunLoop& loop) : loop_(loop) {}

  std::vector<platform::DiskAppearedComplete> volumes;
  bool complete = true;
  int starts = 0;

  int Start() override {
    ++starts;
    loop_.Perform([this] {
      for (const auto& v : volumes) {
        if (appeared_) appeared_(v);
      }
      if (complete && done_) done_(platform::kDiskArbNotifyDiskAppeared);
    });
    return 0;
  }
  int UpdateClientFlags() override { return 0; }
  void OnDiskAppearedComplete(std::function<void(const platform::DiskAppearedComplete&)> fn) override {
    appeared_ = std::move(fn);
  }
  void OnNotificationComplete(std::function<void(uint32_t)> fn) override { done_ = std::move(fn); }

  static platform::DiskAppearedComplete Volume(const std::string& bsd, const std::string& mount_point,
                                               const std::string& fs_type = "hfs",
                                               const std::string& name = "") {
    platform::DiskAppearedComplete v;
    v.bsd_name = bsd;
    v.mount_point = mount_point;
    v.fs_type = fs_type;
    v.volume_name = name;
    return v;
  }

 private:
  platform::RunLoop& loop_;
  std::function<void(const platform::DiskAppearedComplete&)> appeared_;
  std::function<void(uint32_t)> done_;
};

class FakeFirmware : public platform::Firmware {
 public:
  std::map<std::string, std::string, std::less<>> variables;
  int fail_sets_with = 0;  // nonzero: every set fails with this code
  int sets = 0;

  std::optional<std::string> GetVariable(std::string_view name) override {
    auto it = variables.find(name);
    if (it == variables.end()) return std::nullopt;
    return it->second;
  }
  int SetVariable(std::string_view name, std::string_view value) override {
    ++sets;
    if (fail_sets_with != 0) return fail_sets_with;
    variables[std::string(name)] = std::string(value);
    return 0;
  }
};

// Media by BSD name, each with its device-tree path ("IODeviceTree:/...").
class FakeRegistry : public platform::UnavailableRegistry {
 public:
  void AddMedium(const std::string& bsd, const std::string& tree_path) {
    media_.push_back({bsd, tree_path});
  }
  platform::RegistryEntry GetMatchingService(const platform::Matching& m) override {
    for (size_t i = 0; i < media_.size(); ++i) {
      if (!m.bsd_name.empty() && media_[i].first == m.bsd_name) return platform::RegistryEntry(i + 1);
    }
    return {};
  }
  std::optional<std::string> GetPath(platform::RegistryEntry entry, platform::Plane plane) override {
    if (plane != platform::Plane::kDeviceTree || entry.id() == 0 || entry.id() > media_.size()) return {};
    return media_[entry.id() - 1].second;
  }

 private:
  std::vector<std::pair<std::string, std::string>> media_;
};

}  // namespace sim::tools::testing
