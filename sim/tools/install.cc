#include "sim/tools/install.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace sim {

const StandInTool kStandInTools[] = {
    {"newfs_hfs", "/sbin/newfs_hfs"},
    {"newfs", "/sbin/newfs"},
    {"diskutil", "/usr/sbin/diskutil"},
    {"vsdbutil", "/usr/sbin/vsdbutil"},
    {"hdiutil", "/usr/bin/hdiutil"},
    {"bless", "/usr/sbin/bless"},
    {"nvram", "/usr/sbin/nvram"},
    {"kextd", "/usr/sbin/kextd"},
    {"SystemUIServer", "/System/Library/CoreServices/SystemUIServer.app/Contents/MacOS/SystemUIServer"},
};
const size_t kStandInToolCount = sizeof kStandInTools / sizeof kStandInTools[0];

namespace {

namespace fs = std::filesystem;

// Machine path -> Linux tool name; the tool is looked for in /bin, then /usr/bin.
constexpr const char* kLinuxTools[][2] = {
    {"/bin/ps", "ps"},       {"/bin/cp", "cp"},           {"/bin/mv", "mv"},
    {"/bin/rm", "rm"},       {"/bin/chmod", "chmod"},     {"/usr/sbin/chown", "chown"},
    {"/usr/bin/touch", "touch"},
};

int Fail(std::string* error, int code, const std::string& text) {
  if (error != nullptr) *error = text + ": " + std::strerror(code);
  return code;
}

// Makes `place` a symbolic link to `target`, replacing a link that is there.
int Link(const std::string& place, const std::string& target, std::string* error) {
  std::error_code ec;
  fs::create_directories(fs::path(place).parent_path(), ec);
  if (ec) return Fail(error, ec.value(), "cannot make the folder of " + place);
  struct stat st{};
  if (::lstat(place.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) return Fail(error, EEXIST, place + " is not a link");
    if (::unlink(place.c_str()) != 0) return Fail(error, errno, "cannot replace " + place);
  }
  if (::symlink(target.c_str(), place.c_str()) != 0) return Fail(error, errno, "cannot link " + place);
  return 0;
}

}  // namespace

int InstallLinuxTools(const std::string& machine_root, std::string* error) {
  if (machine_root.empty()) return Fail(error, EINVAL, "bad machine root");
  for (const auto& tool : kLinuxTools) {
    std::string target;
    for (const char* folder : {"/bin/", "/usr/bin/", "/usr/sbin/", "/sbin/"}) {
      std::string candidate = std::string(folder) + tool[1];
      if (::access(candidate.c_str(), X_OK) == 0) {
        target = candidate;
        break;
      }
    }
    if (target.empty()) return Fail(error, ENOENT, std::string("no ") + tool[1] + " on this host");
    if (int e = Link(machine_root + tool[0], target, error); e != 0) return e;
  }
  return 0;
}

int InstallStandInTools(const std::string& machine_root, const std::string& tools_dir,
                        std::string* error) {
  std::error_code ec;
  fs::path tools = fs::absolute(tools_dir, ec);
  if (ec || machine_root.empty()) return Fail(error, EINVAL, "bad machine root or tools folder");
  for (const char* folder : {"/sbin", "/bin", "/usr/sbin", "/usr/bin"}) {
    fs::create_directories(machine_root + folder, ec);
    if (ec) return Fail(error, ec.value(), "cannot make " + machine_root + folder);
  }
  for (const StandInTool& tool : kStandInTools) {
    std::string target = (tools / tool.file).string();
    if (::access(target.c_str(), X_OK) != 0) return Fail(error, ENOENT, "no stand-in " + target);
    if (int e = Link(machine_root + tool.machine_path, target, error); e != 0) return e;
  }
  return InstallLinuxTools(machine_root, error);
}

}  // namespace sim
